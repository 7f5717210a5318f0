#include "numbers/NumberListClass.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "numbers/Scramble.h"
#include "platform/UserError.h"
#include "tests/support/TempDir.h"

using namespace kestrine;
using namespace kestrine::platform;
using kestrine::numbers::Scramble;
using kestrine::numbers::TNumberList;
using kestrine::numbers::Unscramble;
using kestrine::test::TempDir;
using kestrine::test::WriteFile;
namespace fs = std::filesystem;

namespace {

using Numbers = std::vector<std::string>;

std::string Scrambled(std::string_view text) {
    return Scramble(text, TNumberList::kStoreKey);
}

const std::string kSettingsPath = R"(\Software\Tallowby\Kestrine\)" + Scrambled("Settings");
const std::string kAllowedPath = R"(\Software\Tallowby\Kestrine\)" + Scrambled("Allowed");

struct Store {
    TempDir dir;
    Registry registry{dir / "registry.db"};

    fs::path Db() const { return dir / "registry.db"; }
    TNumberList Open() const { return TNumberList(Registry(Db())); }

    // What the store wrote, read past it.
    std::vector<std::pair<std::string, std::string>> Values(const std::string& path) const {
        std::vector<std::pair<std::string, std::string>> values;
        RegKey key;
        if (registry.OpenKey(path, KEY_READ, key) != ERROR_SUCCESS) {
            return values;
        }
        std::string name;
        for (std::uint32_t i = 0; key.EnumValue(i, name) == ERROR_SUCCESS; ++i) {
            RegValue value;
            EXPECT_EQ(key.QueryValue(name, value), ERROR_SUCCESS);
            values.emplace_back(name, value.data);
        }
        return values;
    }
    void SetRaw(const std::string& path, std::string_view name, const RegValue& value) const {
        RegKey key;
        ASSERT_EQ(registry.CreateKey(path, KEY_READ | KEY_WRITE, key), ERROR_SUCCESS);
        ASSERT_EQ(key.SetValue(Scrambled(name), value), ERROR_SUCCESS);
    }
    void Exec(const std::string& sql) const {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(Db().c_str(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 10000);
        char* error = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
            << (error != nullptr ? error : "");
        sqlite3_free(error);
        sqlite3_close(db);
    }
};

void MakeReadOnly(const fs::path& path) {
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

// The decoy's key is random; find the one under which it reads as copies of `number`.
std::optional<int> DecoyCopies(const std::string& decoy, const std::string& number) {
    for (std::uint32_t key = 0; key <= 0xFFFF; ++key) {
        const std::string plain = Unscramble(decoy, key);
        if (plain.size() % number.size() != 0 || plain.compare(0, number.size(), number) != 0) {
            continue;
        }
        std::string copies;
        while (copies.size() < plain.size()) {
            copies += number;
        }
        if (copies == plain) {
            return static_cast<int>(plain.size() / number.size());
        }
    }
    return std::nullopt;
}

Numbers ManyNumbers(const std::string& prefix, int count) {
    Numbers numbers;
    for (int i = 0; i < count; ++i) {
        numbers.push_back(prefix + std::to_string(100000 + i));
    }
    return numbers;
}

}  // namespace

TEST(NumberList, PathsAreScrambledUnderTheStoreKey) {
    Store store;
    const TNumberList list = store.Open();
    EXPECT_EQ(list.StoreKey, 0x0B7D41E6u);
    EXPECT_EQ(list.AllowedKeyPath(), kAllowedPath);
    EXPECT_EQ(list.SettingsKeyPath(), kSettingsPath);
    EXPECT_EQ(kAllowedPath.find("Allowed"), std::string::npos);
}

TEST(NumberList, SavedNumbersLoadBackOnceEachInOrder) {
    Store store;
    TNumberList list = store.Open();
    EXPECT_TRUE(list.LoadNumbers().empty()) << "no allowed key yet";
    list.SaveNumbers(Numbers{"0800 123", "112", "+44 20", "112"});
    EXPECT_EQ(list.LoadNumbers(), (Numbers{"0800 123", "112", "+44 20"}));
    EXPECT_EQ(store.Open().LoadNumbers(), (Numbers{"0800 123", "112", "+44 20"}))
        << "a new store fills its list when created";

    list.SaveNumbers(Numbers{"999"});
    EXPECT_EQ(list.LoadNumbers(), Numbers{"999"}) << "a save replaces the stored set";
    list.SaveNumbers(Numbers{});
    EXPECT_TRUE(list.LoadNumbers().empty());
}

TEST(NumberList, ValuesAreScrambledNamesWithDecoyData) {
    Store store;
    TNumberList list = store.Open();
    const Numbers numbers{"0800 123", "112"};
    list.SaveNumbers(numbers);
    const auto first = store.Values(kAllowedPath);
    ASSERT_EQ(first.size(), 2u);
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        EXPECT_EQ(first[i].first, Scrambled(numbers[i]));
        const auto copies = DecoyCopies(first[i].second, numbers[i]);
        ASSERT_TRUE(copies.has_value()) << "the decoy is the number repeated under some key";
        EXPECT_GE(*copies, 1);
        EXPECT_LE(*copies, 5);
    }

    list.SaveNumbers(numbers);
    const auto second = store.Values(kAllowedPath);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0].first, first[0].first);
    EXPECT_EQ(second[1].first, first[1].first);
    EXPECT_TRUE(second[0].second != first[0].second || second[1].second != first[1].second)
        << "decoys are drawn afresh for every save";
}

TEST(NumberList, AddNumberAppendsWhatTheListDoesNotHold) {
    Store store;
    TNumberList list = store.Open();
    list.SaveNumbers(Numbers{"1"});
    list.LoadNumbers();
    list.AddNumber("2");
    list.AddNumber("1");
    EXPECT_EQ(store.Values(kAllowedPath).size(), 2u);
    EXPECT_EQ(list.LoadNumbers(), (Numbers{"1", "2"}));

    Store empty;  // the allowed key is created by the first addition
    TNumberList first = empty.Open();
    first.AddNumber("5");
    EXPECT_EQ(first.LoadNumbers(), Numbers{"5"});
}

TEST(NumberList, ParentalMarkerTable) {
    struct Case {
        const char* what;
        std::optional<std::string> marker;  // nothing: value missing
        bool on;
        bool pinSet;
    };
    const Case cases[] = {
        {"initial", "FreshFromSetup", false, false},
        {"off", "SadPanda", false, true},
        {"on", "MayBee47", true, true},
        {"other text", "Hello", true, true},
        {"other case", "freshfromsetup", true, true},
        {"empty", "", true, true},
        {"missing value", std::nullopt, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Store store;
        if (c.marker) {
            store.SetRaw(kSettingsPath, "ParentalControl", RegValue::String(Scrambled(*c.marker)));
        }
        TNumberList list = store.Open();
        EXPECT_EQ(list.IsParentalControlOn(), c.on);
        EXPECT_EQ(list.IsPINSet(), c.pinSet);
    }
}

TEST(NumberList, MarkerAndPinAreWrittenScrambledAndReadAfresh) {
    Store store;
    TNumberList list = store.Open();
    EXPECT_TRUE(list.IsParentalControlOn());
    EXPECT_TRUE(list.IsPINSet());
    EXPECT_EQ(list.GetPIN(), "");

    list.WriteParentalMarker(true, true);
    EXPECT_FALSE(list.IsParentalControlOn());
    EXPECT_FALSE(list.IsPINSet());
    list.SetPIN("1234 abc");
    list.SetParentalControl(true);
    EXPECT_TRUE(list.IsParentalControlOn());
    EXPECT_TRUE(list.IsPINSet());
    list.SetParentalControl(false);
    EXPECT_FALSE(list.IsParentalControlOn());
    EXPECT_TRUE(list.IsPINSet());

    const auto values = store.Values(kSettingsPath);
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0], std::make_pair(Scrambled("ParentalControl"), Scrambled("SadPanda")));
    EXPECT_EQ(values[1], std::make_pair(Scrambled("ParentalPIN"), Scrambled("1234 abc")));

    // A change made by someone else is seen at the next query.
    store.Open().SetParentalControl(true);
    store.Open().SetPIN("9876");
    EXPECT_TRUE(list.IsParentalControlOn());
    EXPECT_EQ(list.GetPIN(), "9876");
}

TEST(NumberList, AReadOnlyStoreKeepsItsSettingsReadableAndRefusesEverySave) {
    Store store;
    {
        TNumberList writer = store.Open();
        writer.SaveNumbers(Numbers{"1", "2"});
        writer.WriteParentalMarker(false, true);
        writer.SetPIN("4321");
    }
    MakeReadOnly(store.Db());
    TNumberList list = store.Open();
    EXPECT_TRUE(list.LoadNumbers().empty()) << "keys are opened for writing too, or not at all";
    EXPECT_EQ(list.LoadError(), ERROR_ACCESS_DENIED) << "and the empty list says it was not read";
    EXPECT_EQ(list.LoadErrorText(), "The allowed numbers cannot be read: Access is denied.");
    // The settings need read access only: what is stored, not a lock that hides the PIN.
    EXPECT_FALSE(list.IsParentalControlOn());
    EXPECT_FALSE(list.IsPINSet());
    EXPECT_EQ(list.GetPIN(), "4321");

    try {
        list.SaveNumbers(Numbers{"3", "4"});
        FAIL() << "a save of numbers to a read-only store must fail";
    } catch (const UserError& error) {
        EXPECT_EQ(std::string(error.what()), "Failed to set data for '" + Scrambled("3") + "'");
    }
    EXPECT_NO_THROW(list.SaveNumbers(Numbers{}));
    try {
        list.AddNumber("5");
        FAIL() << "a number that cannot be stored is never taken as added";
    } catch (const UserError& error) {
        EXPECT_EQ(std::string(error.what()), "Failed to set data for '" + Scrambled("5") + "'");
    }
    for (const auto& write : {std::function<void()>([&] { list.SetPIN("0000"); }),
                              std::function<void()>([&] { list.SetParentalControl(true); })}) {
        try {
            write();
            ADD_FAILURE() << "a settings write to a read-only store is never skipped in silence";
        } catch (const UserError& error) {
            EXPECT_EQ(std::string(error.what()), "The settings cannot be saved: Access is denied.");
        }
    }

    fs::permissions(store.Db(), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(list.LoadNumbers(), (Numbers{"1", "2"})) << "nothing was changed";
    EXPECT_EQ(list.GetPIN(), "4321");
    EXPECT_FALSE(list.IsPINSet());
}

TEST(NumberList, AValueOfAnotherTypeStopsTheRead) {
    struct Case {
        const char* name;
        bool (*read)(TNumberList&);
    };
    const Case cases[] = {
        {"ParentalPIN", [](TNumberList& l) { return !l.GetPIN().empty(); }},
        {"ParentalControl", [](TNumberList& l) { return l.IsParentalControlOn(); }},
        {"ParentalControl", [](TNumberList& l) { return l.IsPINSet(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Store store;
        store.SetRaw(kSettingsPath, c.name, RegValue::Dword(1));
        TNumberList list = store.Open();
        try {
            c.read(list);
            FAIL() << "expected an error";
        } catch (const UserError& error) {
            EXPECT_EQ(std::string(error.what()),
                      "Invalid data type for '" + Scrambled(c.name) + "'");
        }
    }
}

TEST(NumberList, ADamagedStoreReadsAsLockedAndNeverCrashes) {
    Store store;
    WriteFile(store.Db(), std::string(4096, 'x'));
    TNumberList list = store.Open();
    EXPECT_TRUE(list.LoadNumbers().empty());
    EXPECT_EQ(list.LoadError(), ERROR_BADDB);
    EXPECT_TRUE(list.IsParentalControlOn());
    try {
        list.GetPIN();
        ADD_FAILURE() << "a PIN that cannot be read is never the empty PIN";
    } catch (const UserError& error) {
        EXPECT_EQ(std::string(error.what()),
                  "The settings cannot be read: The configuration registry database is corrupt.");
    }
    EXPECT_THROW(list.SaveNumbers(Numbers{"1"}), UserError);
    EXPECT_THROW(list.AddNumber("1"), UserError);
}

// A failure in the middle of a save leaves the previous list, and the user hears of it.
TEST(NumberList, AFailedSaveKeepsThePreviousList) {
    Store store;
    TNumberList list = store.Open();
    list.SaveNumbers(Numbers{"old 1", "old 2"});
    const auto before = store.Values(kAllowedPath);

    store.Exec("CREATE TRIGGER refuse BEFORE INSERT ON reg_value WHEN NEW.name = '" +
               Scrambled("new 2") + "' BEGIN SELECT RAISE(ABORT, 'refused'); END");
    try {
        list.SaveNumbers(Numbers{"new 1", "new 2", "new 3"});
        FAIL() << "the refused write must be reported";
    } catch (const UserError& error) {
        EXPECT_EQ(std::string(error.what()), "Failed to set data for '" + Scrambled("new 2") + "'");
    }
    EXPECT_EQ(store.Values(kAllowedPath), before);
    EXPECT_EQ(list.LoadNumbers(), (Numbers{"old 1", "old 2"}));
}

// A process killed during a save leaves either the whole old list or the whole new one. The child
// is held inside its transaction by a trigger that never finishes, half-way through the new list,
// after every old value was deleted.
TEST(NumberList, AProcessKilledMidSaveLeavesTheOldList) {
    Store store;
    const Numbers oldList = ManyNumbers("old ", 3000);
    const Numbers newList = ManyNumbers("new ", 3000);
    store.Open().SaveNumbers(oldList);
    store.Exec(
        "CREATE TABLE spin(x); INSERT INTO spin VALUES (1),(2),(3),(4),(5),(6),(7),(8),(9),(10);"
        "CREATE TRIGGER stall BEFORE INSERT ON reg_value WHEN NEW.name = '" +
        Scrambled(newList[1500]) +
        "' BEGIN SELECT count(*) FROM spin a, spin b, spin c, spin d, spin e, spin f, spin g,"
        " spin h, spin i, spin j, spin k, spin l; END");

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TNumberList(Registry(store.Db())).SaveNumbers(newList);
        _exit(0);
    }
    // Wait until the child holds the write lock, i.e. is inside its save.
    sqlite3* probe = nullptr;
    ASSERT_EQ(sqlite3_open(store.Db().c_str(), &probe), SQLITE_OK);
    bool busy = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!busy && std::chrono::steady_clock::now() < deadline) {
        busy = sqlite3_exec(probe, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_BUSY;
        if (!busy) {
            sqlite3_exec(probe, "ROLLBACK", nullptr, nullptr, nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    sqlite3_close(probe);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(busy) << "the child never started its save";
    ASSERT_TRUE(WIFSIGNALED(status));

    store.Exec("DROP TRIGGER stall");
    EXPECT_EQ(store.Open().LoadNumbers(), oldList);
}

TEST(NumberList, KillsAtAnyMomentLeaveOneWholeList) {
    Store store;
    const Numbers a = ManyNumbers("a ", 2000);
    const Numbers b = ManyNumbers("b ", 1500);
    store.Open().SaveNumbers(a);
    for (int delayMs : {5, 20, 45}) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            TNumberList list{Registry(store.Db())};
            (void)!write(ready[1], "r", 1);
            for (int i = 0;; ++i) {
                list.SaveNumbers(i % 2 == 0 ? b : a);
            }
        }
        char byte = 0;
        const auto started = read(ready[0], &byte, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));  // any moment will do
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        close(ready[0]);
        close(ready[1]);
        ASSERT_EQ(started, 1) << "the child never started saving";

        const Numbers stored = store.Open().LoadNumbers();
        EXPECT_TRUE(stored == a || stored == b)
            << "killed after " << delayMs << " ms: " << stored.size() << " numbers";
    }
}

// The application's store is made by kestrine-setup only: one that is gone (never made, or
// deleted while the application runs) reads as missing, not as an empty store, and every change
// is refused with a message that names kestrine-setup; nothing makes a fresh store behind the
// user's back.
TEST(NumberList, AMissingStoreIsNeverMadeAfreshAndEveryChangeNamesKestrineSetup) {
    Store store;
    {
        TNumberList writer = store.Open();
        writer.SaveNumbers(Numbers{"1"});
        writer.SetPIN("4321");
        writer.SetParentalControl(true);
    }
    TNumberList list(Registry::Existing(store.Db()));
    EXPECT_EQ(list.LoadNumbers(), (Numbers{"1"}));
    for (const char* suffix : {"", "-wal", "-shm"}) {
        fs::remove(store.Db().string() + suffix);
    }
    const std::string missing =
        "The settings store " + store.Db().string() + " is missing: run kestrine-setup to make it";
    EXPECT_TRUE(list.LoadNumbers().empty());
    EXPECT_EQ(list.LoadError(), platform::ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(list.LoadErrorText(), missing);
    EXPECT_TRUE(list.IsParentalControlOn()) << "a marker that cannot be read counts as on";
    const std::function<void()> changes[] = {
        [&] { list.AddNumber("2"); },
        [&] { list.SaveNumbers(Numbers{"2"}); },
        [&] { list.SetPIN("0000"); },
        [&] { list.SetParentalControl(false); },
        [&] { static_cast<void>(list.GetPIN()); },
    };
    for (const auto& change : changes) {
        try {
            change();
            ADD_FAILURE() << "a change to a missing store";
        } catch (const UserError& error) {
            EXPECT_EQ(std::string(error.what()), missing);
        }
    }
    EXPECT_FALSE(fs::exists(store.Db())) << "never made here";
}
