#include "platform/Registry.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/RunProgram.h"
#include "tests/support/TempDir.h"

using namespace kestrine::platform;
using kestrine::test::TempDir;
using kestrine::test::WriteFile;
namespace fs = std::filesystem;

namespace {

constexpr RegAccess kReadWrite = KEY_READ | KEY_WRITE;

struct Store {
    TempDir dir;
    Registry registry{dir / "registry.db"};

    fs::path Db() const { return dir / "registry.db"; }
    RegKey Create(const std::string& path, RegAccess access = kReadWrite) const {
        RegKey key;
        EXPECT_EQ(registry.CreateKey(path, access, key), ERROR_SUCCESS) << path;
        return key;
    }
};

std::vector<std::string> ValueNames(const RegKey& key) {
    std::vector<std::string> names;
    std::string name;
    for (std::uint32_t i = 0; key.EnumValue(i, name) == ERROR_SUCCESS; ++i) {
        names.push_back(name);
    }
    return names;
}

void MakeReadOnly(const fs::path& path) {
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

}  // namespace

TEST(Registry, KeysAreFoundByPathIgnoringCaseAndALeadingBackslash) {
    Store store;
    bool created = false;
    RegKey key;
    ASSERT_EQ(store.registry.CreateKey(R"(\Software\Tallowby\Kestrine)", kReadWrite, key, &created),
              ERROR_SUCCESS);
    EXPECT_TRUE(created);
    EXPECT_EQ(key.SetString("Name", "v"), ERROR_SUCCESS);

    RegKey again;
    ASSERT_EQ(store.registry.OpenKey(R"(SOFTWARE\tallowby\KESTRINE)", KEY_READ, again),
              ERROR_SUCCESS);
    RegValue value;
    EXPECT_EQ(again.QueryValue("NAME", value), ERROR_SUCCESS);
    EXPECT_EQ(value.data, "v");
    EXPECT_EQ(store.registry.CreateKey(R"(Software\TALLOWBY\kestrine)", KEY_READ, again, &created),
              ERROR_SUCCESS);
    EXPECT_FALSE(created);

    std::string name;
    RegKey parent = store.Create(R"(Software\Tallowby)");
    EXPECT_EQ(parent.EnumKey(0, name), ERROR_SUCCESS);
    EXPECT_EQ(name, "Kestrine") << "a key keeps the spelling it was created with";

    EXPECT_EQ(store.registry.OpenKey(R"(Software\Missing)", KEY_READ, again), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(again.IsOpen());
    EXPECT_EQ(store.registry.OpenKey(R"(Software\\Tallowby)", KEY_READ, again), ERROR_BAD_PATHNAME);
    EXPECT_EQ(store.registry.OpenKey(R"(Software\)", KEY_READ, again), ERROR_BAD_PATHNAME);
}

TEST(Registry, ValuesKeepTypeBytesAndFirstWrittenOrder) {
    Store store;
    RegKey key = store.Create("Order");
    const std::string bytes("a\0\xff z", 5);
    ASSERT_EQ(key.SetString("b", bytes), ERROR_SUCCESS);
    ASSERT_EQ(key.SetDword("a", 0x11223344), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("c", "3"), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("B", "rewritten"), ERROR_SUCCESS);  // same value: keeps its place
    EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"b", "a", "c"}));

    ASSERT_EQ(key.DeleteValue("a"), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("a", "again"), ERROR_SUCCESS);  // new again: goes last
    EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"b", "c", "a"}));

    RegValue value;
    ASSERT_EQ(key.QueryValue("b", value), ERROR_SUCCESS);
    EXPECT_EQ(value.type, REG_SZ);
    EXPECT_EQ(value.data, "rewritten");
    ASSERT_EQ(key.SetString("b", bytes), ERROR_SUCCESS);
    ASSERT_EQ(key.QueryValue("b", value), ERROR_SUCCESS);
    EXPECT_EQ(value.data, bytes);
    ASSERT_EQ(key.SetDword("d", 0x11223344), ERROR_SUCCESS);
    ASSERT_EQ(key.QueryValue("d", value), ERROR_SUCCESS);
    EXPECT_EQ(value.type, REG_DWORD);
    EXPECT_EQ(value.AsDword(), 0x11223344u);
    EXPECT_EQ(RegValue::String("x").AsDword(), std::nullopt);

    std::string name;
    EXPECT_EQ(key.EnumValue(1, name), ERROR_SUCCESS) << "random access by index";
    EXPECT_EQ(name, "c");
    EXPECT_EQ(key.EnumValue(4, name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(key.QueryValue("missing", value), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.DeleteValue("missing"), ERROR_FILE_NOT_FOUND);
}

TEST(Registry, EnumerationFollowsChangesMadeBetweenSteps) {
    Store store;
    RegKey key = store.Create("E");
    for (const char* n : {"1", "2", "3", "4"}) {
        ASSERT_EQ(key.SetString(n, ""), ERROR_SUCCESS);
    }
    std::string name;
    ASSERT_EQ(key.EnumValue(0, name), ERROR_SUCCESS);
    ASSERT_EQ(key.DeleteValue("1"), ERROR_SUCCESS);
    // Index 1 now means the second of "2", "3", "4", as a fresh enumeration would see it.
    ASSERT_EQ(key.EnumValue(1, name), ERROR_SUCCESS);
    EXPECT_EQ(name, "3");
}

TEST(Registry, LongEnumerationsStayInOrderAndFresh) {
    Store store;
    RegKey key = store.Create("Long");
    std::vector<std::string> expected;
    {
        RegTransaction tx(store.registry);
        for (int i = 0; i < 1500; ++i) {
            expected.push_back("v" + std::to_string(1500 - i));  // not in name order
            ASSERT_EQ(key.SetString(expected.back(), ""), ERROR_SUCCESS);
        }
        ASSERT_EQ(tx.Commit(), ERROR_SUCCESS);
    }
    EXPECT_EQ(ValueNames(key), expected);
    std::string name;
    ASSERT_EQ(key.EnumValue(1100, name), ERROR_SUCCESS);
    EXPECT_EQ(name, expected[1100]);
    EXPECT_EQ(key.EnumValue(1500, name), ERROR_NO_MORE_ITEMS);

    // A value written elsewhere shows in the next enumeration from the start.
    RegKey other;
    ASSERT_EQ(Registry(store.Db()).CreateKey("Long", kReadWrite, other), ERROR_SUCCESS);
    ASSERT_EQ(other.SetString("late", ""), ERROR_SUCCESS);
    expected.push_back("late");
    EXPECT_EQ(ValueNames(key), expected);
}

TEST(Registry, HandleRightsAreChecked) {
    Store store;
    store.Create("K").SetString("v", "x");
    RegKey reader;
    ASSERT_EQ(store.registry.OpenKey("K", KEY_READ, reader), ERROR_SUCCESS);
    EXPECT_EQ(reader.SetString("v", "y"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(reader.DeleteValue("v"), ERROR_ACCESS_DENIED);

    RegKey writer;
    ASSERT_EQ(store.registry.OpenKey("K", KEY_WRITE, writer), ERROR_SUCCESS);
    RegValue value;
    EXPECT_EQ(writer.QueryValue("v", value), ERROR_ACCESS_DENIED);

    writer.Close();
    EXPECT_EQ(writer.SetString("v", "y"), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegKey().QueryValue("v", value), ERROR_INVALID_HANDLE);
}

TEST(Registry, AMissingDatabaseHasNoKeysAndIsCreatedByTheFirstWrite) {
    Store store;
    RegKey key;
    EXPECT_EQ(store.registry.OpenKey("Software", kReadWrite, key), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(fs::exists(store.Db())) << "reading must not create the store";

    store.Create("Software").SetString("v", "x");
    EXPECT_TRUE(fs::exists(store.Db()));
    Registry other(store.Db());
    ASSERT_EQ(other.OpenKey("Software", KEY_READ, key), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(key), std::vector<std::string>{"v"});
}

TEST(Registry, AReadOnlyStoreRefusesWriteAccessEvenToRoot) {
    struct Case {
        const char* what;
        bool folder;  // make the folder read-only instead of the file
    };
    for (const Case& c : {Case{"file", false}, Case{"folder", true}}) {
        SCOPED_TRACE(c.what);
        Store store;
        store.Create("Software\\Kept").SetString("v", "x");
        MakeReadOnly(c.folder ? store.dir.Path() : store.Db());

        Registry registry(store.Db());
        RegKey key;
        EXPECT_EQ(registry.OpenKey("Software\\Kept", kReadWrite, key), ERROR_ACCESS_DENIED);
        EXPECT_EQ(registry.CreateKey("Software\\New", kReadWrite, key), ERROR_ACCESS_DENIED);
        EXPECT_EQ(registry.CreateKey("Software\\New", KEY_READ, key), ERROR_ACCESS_DENIED);
        EXPECT_EQ(registry.DeleteKey("Software\\Kept"), ERROR_ACCESS_DENIED);
        ASSERT_EQ(registry.CreateKey("Software\\Kept", KEY_READ, key), ERROR_SUCCESS)
            << "an existing key still opens for reading";
        EXPECT_EQ(ValueNames(key), std::vector<std::string>{"v"});
    }

    TempDir readOnlyFolder;
    MakeReadOnly(readOnlyFolder.Path());
    Registry missing(readOnlyFolder / "registry.db");
    RegKey key;
    EXPECT_EQ(missing.CreateKey("Software", kReadWrite, key), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(fs::exists(readOnlyFolder / "registry.db"));
}

TEST(Registry, ATransactionLandsWholeOrNotAtAll) {
    Store store;
    store.Create("T").SetString("old", "1");
    Registry observer(store.Db());
    RegKey seen;
    {
        RegTransaction tx(store.registry);
        ASSERT_EQ(tx.Status(), ERROR_SUCCESS);
        RegKey key = store.Create("T\\Sub");
        key.SetString("new", "2");
        RegKey top = store.Create("T");
        top.DeleteValue("old");
        ASSERT_EQ(observer.OpenKey("T", KEY_READ, seen), ERROR_SUCCESS);
        EXPECT_EQ(ValueNames(seen), std::vector<std::string>{"old"}) << "not visible before commit";
        // Rolled back when it goes out of scope.
    }
    EXPECT_EQ(observer.OpenKey("T\\Sub", KEY_READ, seen), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(observer.OpenKey("T", KEY_READ, seen), ERROR_SUCCESS);
    EXPECT_EQ(ValueNames(seen), std::vector<std::string>{"old"});

    {
        RegTransaction tx(store.registry);
        store.Create("T").SetString("a", "1");
        {
            RegTransaction inner(store.registry);
            store.Create("T").SetString("inner", "1");
        }  // only the inner part is undone
        store.Create("T").SetString("b", "1");
        EXPECT_EQ(tx.Commit(), ERROR_SUCCESS);
    }
    EXPECT_EQ(ValueNames(seen), (std::vector<std::string>{"old", "a", "b"}));
}

TEST(Registry, ConnectionsWritingAtOnceWaitForEachOther) {
    Store store;
    store.Create("C");
    constexpr int kWriters = 4;
    constexpr int kValues = 50;
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&store, w] {
            Registry own(store.Db());  // a connection of its own, as another process has
            for (int i = 0; i < kValues; ++i) {
                RegTransaction tx(own);
                RegKey key;
                ASSERT_EQ(own.CreateKey("C", kReadWrite, key), ERROR_SUCCESS);
                ASSERT_EQ(key.SetString(std::to_string(w) + "-" + std::to_string(i), "x"),
                          ERROR_SUCCESS);
                ASSERT_EQ(tx.Commit(), ERROR_SUCCESS);
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(ValueNames(store.Create("C")).size(), static_cast<std::size_t>(kWriters * kValues));
}

TEST(Registry, ReadersDoNotQueueBehindAWriter) {
    Store store;
    store.Create("K").SetString("v", "x");
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(store.Db().c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    // Another process holds the write lock; an existing key still opens and reads at once
    // instead of waiting out the busy timeout.
    Registry registry(store.Db());
    const auto start = std::chrono::steady_clock::now();
    RegKey key;
    EXPECT_EQ(registry.CreateKey("K", kReadWrite, key), ERROR_SUCCESS);
    RegValue value;
    EXPECT_EQ(key.QueryValue("v", value), ERROR_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    sqlite3_exec(writer, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
}

TEST(Registry, DeletingKeys) {
    Store store;
    store.Create("D\\Child").SetString("v", "x");
    RegKey parent = store.Create("D");
    EXPECT_EQ(store.registry.DeleteKey("D"), ERROR_ACCESS_DENIED) << "it has a subkey";
    EXPECT_EQ(store.registry.DeleteKey(""), ERROR_ACCESS_DENIED) << "the root stays";

    RegKey child = store.Create("D\\Child");
    EXPECT_EQ(store.registry.DeleteKey("d\\child"), ERROR_SUCCESS);
    EXPECT_EQ(store.registry.DeleteKey("D\\Child"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(child.SetString("v", "y"), ERROR_KEY_DELETED);
    std::string name;
    EXPECT_EQ(parent.EnumKey(0, name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(store.registry.DeleteKey("D"), ERROR_SUCCESS);
}

TEST(Registry, ADamagedDatabaseGivesAnErrorAtTheOperationThatMeetsIt) {
    struct Case {
        const char* what;
        std::string content;
        Win32Error expected;
    };
    const Case cases[] = {
        {"not a database", std::string(4096, 'x'), ERROR_BADDB},
        {"a database header over garbage",
         std::string("SQLite format 3\0", 16) + std::string(8192, '\x7f'), ERROR_BADDB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Store store;
        WriteFile(store.Db(), c.content);
        RegKey key;
        EXPECT_EQ(store.registry.OpenKey("Software", KEY_READ, key), c.expected);
        EXPECT_EQ(store.registry.CreateKey("Software", kReadWrite, key), c.expected);
        RegTransaction tx(store.registry);
        EXPECT_NE(tx.Status(), ERROR_SUCCESS);
    }
}

TEST(Registry, ADatabaseOfAnotherApplicationIsRefused) {
    Store store;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(store.Db().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE notes(text)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    RegKey key;
    EXPECT_EQ(store.registry.OpenKey("Software", KEY_READ, key), ERROR_BADDB);
    EXPECT_EQ(store.registry.CreateKey("Software", kReadWrite, key), ERROR_BADDB);
}

TEST(Registry, TheStoreIsKeptFromOtherUsersAndNotReachedThroughALink) {
    const auto modeOf = [](const fs::path& path) {
        return static_cast<unsigned>(fs::symlink_status(path).permissions() & fs::perms::mask);
    };
    const ::mode_t oldMask = ::umask(022);
    struct Case {
        const char* what;
        bool groupFolder;  // a setgid folder shares the store with its group
        unsigned expected;
    };
    for (const Case& c : {Case{"private root", false, 0600}, Case{"group root", true, 0660}}) {
        SCOPED_TRACE(c.what);
        Store store;
        if (c.groupFolder) {
            fs::permissions(store.dir.Path(), fs::perms::set_gid, fs::perm_options::add);
        }
        store.Create("Software").SetString("Pin", "x");
        EXPECT_EQ(modeOf(store.Db()), c.expected);
        for (const char* journal : {"-wal", "-shm"}) {
            const fs::path path = store.Db().string() + journal;
            if (fs::exists(path)) {
                EXPECT_EQ(modeOf(path) & 07, 0u) << journal;
            }
        }
    }

    // A store made when files were still world-readable loses that at its next use.
    {
        Store store;
        store.Create("Software").SetString("Pin", "x");
        fs::permissions(store.Db(), fs::perms::others_read, fs::perm_options::add);
        Registry again(store.Db());
        RegKey key;
        ASSERT_EQ(again.OpenKey("Software", KEY_READ, key), ERROR_SUCCESS);
        EXPECT_EQ(modeOf(store.Db()) & 07, 0u);
    }
    ::umask(oldMask);

    // A link planted where the store belongs is neither followed nor written through.
    Store store;
    const fs::path target = store.dir / "target";
    WriteFile(target, "someone else's file");
    fs::create_symlink(target, store.Db());
    RegKey key;
    EXPECT_NE(store.registry.CreateKey("Software", kReadWrite, key), ERROR_SUCCESS);
    EXPECT_EQ(kestrine::test::ReadFile(target), "someone else's file");
}

// A second connection in this process must not drop the first one's locks: another process that
// then closes its last connection in order would take itself for the store's last user, delete
// -wal and -shm, and every later commit of the first connection would be lost.
TEST(Registry, ASecondConnectionKeepsTheFirstOnesLocksAgainstAnOrderlyStopElsewhere) {
    if (!kestrine::test::HaveProgram("sqlite3")) {
        GTEST_SKIP() << "the sqlite3 program (package sqlite3) plays the other process";
    }
    Store store;
    RegKey key = store.Create("Software\\Tallowby");
    ASSERT_EQ(key.SetString("before", "1"), ERROR_SUCCESS);
    fs::permissions(store.Db(), fs::perms::others_read, fs::perm_options::add);
    {
        Registry second(store.Db());  // mends the mode beside the live connection
        RegKey again;
        ASSERT_EQ(second.OpenKey("Software\\Tallowby", KEY_READ, again), ERROR_SUCCESS);
    }
    const auto other = kestrine::test::RunProgram(
        {"sqlite3", store.Db().string(), "SELECT count(*) FROM reg_value"});
    ASSERT_EQ(other.exitCode, 0) << other.output;
    EXPECT_TRUE(fs::exists(store.Db().string() + "-wal")) << "still in use here";

    ASSERT_EQ(key.SetString("after", "2"), ERROR_SUCCESS);
    const auto fresh = kestrine::test::RunProgram(
        {"sqlite3", store.Db().string(), "SELECT count(*) FROM reg_value"});
    EXPECT_EQ(fresh.output, "2\n") << "the commit made after the other's stop is in the store";
}

// The application's store is never made by it: a missing one is reported (not an empty store),
// one deleted while open is noticed at the next operation, and one put back or replaced is
// picked up without a restart.
TEST(Registry, AnExistingOnlyStoreFollowsTheFileAtItsPath) {
    TempDir dir;
    const fs::path db = dir / "registry.db";
    const Registry app = Registry::Existing(db);
    RegKey key;
    EXPECT_EQ(app.CreateKey("Software", kReadWrite, key), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(app.OpenKey("Software", KEY_READ, key), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(fs::exists(db)) << "never made here";

    {
        const Registry setup(db);
        RegKey made;
        ASSERT_EQ(setup.CreateKey("Software", kReadWrite, made), ERROR_SUCCESS);
        ASSERT_EQ(made.SetString("v", "first"), ERROR_SUCCESS);
    }
    const auto read = [&] {
        RegKey software;
        RegValue value;
        const auto error = app.OpenKey("Software", KEY_READ, software);
        return error != ERROR_SUCCESS                             ? "error " + std::to_string(error)
               : software.QueryValue("v", value) == ERROR_SUCCESS ? value.data
                                                                  : std::string("none");
    };
    EXPECT_EQ(read(), "first");
    const std::string saved = kestrine::test::ReadFile(db);

    for (const char* suffix : {"", "-wal", "-shm"}) {
        fs::remove(db.string() + suffix);
    }
    EXPECT_EQ(read(), "error " + std::to_string(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(app.CreateKey("Software", kReadWrite, key), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(fs::exists(db));

    WriteFile(db, saved);  // put back
    EXPECT_EQ(read(), "first");

    {
        // Replaced by another store moved into place.
        const fs::path other = dir / "other.db";
        const Registry setup(other);
        RegKey made;
        ASSERT_EQ(setup.CreateKey("Software", kReadWrite, made), ERROR_SUCCESS);
        ASSERT_EQ(made.SetString("v", "second"), ERROR_SUCCESS);
    }
    fs::rename(dir / "other.db", db);
    EXPECT_EQ(read(), "second");
}
