#include "setup/Setup.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "driver/PortMap.h"
#include "numbers/NumberListClass.h"
#include "tests/support/TempDir.h"

using namespace kestrine;
using kestrine::numbers::TNumberList;
using kestrine::test::TempDir;
namespace fs = std::filesystem;

namespace {

struct SetupRun {
    int status = -1;
    std::string out;
    std::string err;
};

// The installation step in this process; the driver image is this build's unless `args` name one.
SetupRun RunSetupIn(const fs::path& root, std::vector<std::string> args = {}) {
    args.insert(args.begin(), "--driver=" QDDRIVER_PATH);
    std::ostringstream out;
    std::ostringstream err;
    SetupRun run;
    run.status = setup::RunSetup(args, root, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
}

TNumberList StoreOf(const fs::path& root) {
    return TNumberList(platform::Registry(root / "registry.db"));
}

}  // namespace

// The installed program on an empty root, twice: the application then finds its initial state.
TEST(Setup, TheProgramPreparesAnEmptyRootForTheFirstStart) {
    TempDir dir;
    const fs::path root = dir / "root";
    const std::string command =
        "KESTRINE_ROOT='" + root.string() + "' '" KESTRINE_SETUP_EXE "' 2>&1";
    for (int run = 0; run < 2; ++run) {
        FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string output;
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
            output += buffer;
        }
        const int status = pclose(pipe);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << output;
        EXPECT_NE(output.find(run == 0 ? "Wrote the initial" : "Kept"), std::string::npos)
            << output;
    }
    TNumberList store = StoreOf(root);
    EXPECT_FALSE(store.IsParentalControlOn());
    EXPECT_FALSE(store.IsPINSet());
    EXPECT_EQ(store.GetPIN(), "");
}

TEST(Setup, ARerunNeverUnlocksAProtectedMachine) {
    struct Case {
        const char* what;
        void (*prepare)(TNumberList&);
        setup::MarkerOutcome outcome;
        bool on;
        bool pinSet;
    };
    const Case cases[] = {
        {"parental control on",
         [](TNumberList& s) {
             s.SetPIN("4711");
             s.SetParentalControl(true);
         },
         setup::MarkerOutcome::KeptMarker, true, true},
        {"parental control off",
         [](TNumberList& s) {
             s.SetPIN("4711");
             s.SetParentalControl(false);
         },
         setup::MarkerOutcome::KeptMarker, false, true},
        {"a PIN without a marker", [](TNumberList& s) { s.SetPIN("4711"); },
         setup::MarkerOutcome::KeptPin, true, true},
        {"an allowed list only", [](TNumberList& s) { s.AddNumber("112"); },
         setup::MarkerOutcome::Written, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir root;
        {
            TNumberList store = StoreOf(root.Path());
            c.prepare(store);
        }
        std::ostringstream out;
        EXPECT_EQ(setup::SeedParentalMarker(platform::Registry(root / "registry.db"), out),
                  c.outcome);
        TNumberList store = StoreOf(root.Path());
        EXPECT_EQ(store.IsParentalControlOn(), c.on) << out.str();
        EXPECT_EQ(store.IsPINSet(), c.pinSet);
        if (c.pinSet) {
            EXPECT_EQ(store.GetPIN(), "4711");
        }
    }
}

TEST(Setup, FailuresAreClearMessagesWithANonZeroExit) {
    TempDir dir;
    test::WriteFile(dir / "file", "");
    SetupRun run = RunSetupIn(dir / "file" / "root");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("kestrine-setup: cannot create the system root"), std::string::npos)
        << run.err;

    run = RunSetupIn(dir / "file");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("exists but is not a folder"), std::string::npos) << run.err;

    TempDir readOnly;
    fs::permissions(readOnly.Path(),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    run = RunSetupIn(readOnly.Path());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot write the registry " + (readOnly / "registry.db").string() +
                           ": Access is denied."),
              std::string::npos)
        << run.err;

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--bogus"}, {"--ports"}, {"extra"}}) {
        run = RunSetupIn(dir.Path(), args);
        EXPECT_EQ(run.status, 2) << args[0];
        EXPECT_NE(run.err.find("Try 'kestrine-setup --help'."), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(dir / "registry.db")) << "a wrong command line changes nothing";

    for (const std::string ports : {"COM17=modem", "COM1=", "LPT1=modem", "COM2=ttyS0"}) {
        run = RunSetupIn(dir / "ports", {"--ports", ports});
        EXPECT_EQ(run.status, 1) << ports;
        EXPECT_NE(run.err.find("wrong port map entry '" + ports + "'"), std::string::npos)
            << run.err;
    }
    // Another program's database where the store belongs: said so, and left byte for byte.
    fs::create_directories(dir / "foreign");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "foreign" / "registry.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "PRAGMA application_id = 12345; CREATE TABLE t(x);", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    const std::string foreign = test::ReadFile(dir / "foreign" / "registry.db");
    run = RunSetupIn(dir / "foreign");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("It is not a Kestrine store, or it is damaged, and is left as it is"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(test::ReadFile(dir / "foreign" / "registry.db"), foreign);

    run = RunSetupIn(dir / "nodriver", {"--driver", (dir / "missing").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("the driver image " + (dir / "missing").string() + " is missing"),
              std::string::npos);
}

TEST(Setup, HelpExplainsAndChangesNothing) {
    TempDir dir;
    const SetupRun run = RunSetupIn(dir / "root", {"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("Usage: kestrine-setup"), std::string::npos);
    EXPECT_NE(run.out.find("KESTRINE_ROOT"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "root"));
}

TEST(Setup, PutsTheDriverInPlaceAndKeepsOrReplacesThePortMap) {
    TempDir dir;
    const fs::path root = dir / "root";
    test::WriteFile(dir / "qddriver", "driver image v1");
    auto portMap = [&] {
        std::string problem;
        const auto map = driver::ReadPortMapFile(driver::PortMapFilePath(root), problem);
        EXPECT_EQ(problem, "");
        std::string text;
        for (const auto& [com, backend] : map) {
            text += "COM" + std::to_string(com) + "=" +
                    (backend.kind == driver::PortBackend::Kind::Modem ? "modem" : backend.device) +
                    ";";
        }
        return text;
    };

    SetupRun run = RunSetupIn(root, {"--driver", (dir / "qddriver").string(), "--ports",
                                     "COM1=modem,COM3=modem,COM2=/dev/ttyUSB0"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(test::ReadFile(root / "drivers" / "QDDRIVER.sys"), "driver image v1");
    EXPECT_NE(fs::status(root / "drivers" / "QDDRIVER.sys").permissions() & fs::perms::owner_exec,
              fs::perms::none);
    EXPECT_EQ(portMap(), "COM1=modem;COM2=/dev/ttyUSB0;COM3=modem;");
    EXPECT_NE(
        run.out.find("Wrote the driver's port map: COM1=modem, COM2=/dev/ttyUSB0, COM3=modem."),
        std::string::npos)
        << run.out;

    // Again, without --ports and with the same image: nothing changes, and it says so.
    run = RunSetupIn(root, {"--driver", (dir / "qddriver").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("is in place"), std::string::npos) << run.out;
    EXPECT_EQ(portMap(), "COM1=modem;COM2=/dev/ttyUSB0;COM3=modem;");

    // A new image replaces the old one; a new map replaces the whole old one.
    test::WriteFile(dir / "qddriver", "driver image v2");
    run = RunSetupIn(root, {"--driver=" + (dir / "qddriver").string(), "--ports=COM4=modem"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(test::ReadFile(root / "drivers" / "QDDRIVER.sys"), "driver image v2");
    EXPECT_EQ(portMap(), "COM4=modem;");

    // A map an older version kept in the store is not carried over; root is told.
    fs::remove(driver::PortMapFilePath(root));
    {
        platform::RegKey key;
        ASSERT_EQ(platform::Registry(root / "registry.db")
                      .CreateKey(R"(SYSTEM\CurrentControlSet\Services\QDDRIVER\Parameters)",
                                 platform::KEY_ALL_ACCESS, key),
                  platform::ERROR_SUCCESS);
        key.SetString("COM2", "/dev/pts/1\x1B[2J");
    }
    run = RunSetupIn(root);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("the port map is no longer read from the registry "
                           "(COM2=/dev/pts/1\\x1B[2J), and no port is mapped now"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(portMap(), "");
    const platform::Registry store(root / "registry.db");
    store.DeleteKey(R"(SYSTEM\CurrentControlSet\Services\QDDRIVER\Parameters)");
    store.DeleteKey(R"(SYSTEM\CurrentControlSet\Services\QDDRIVER)");

    // The service entry is the application's business, and the port map is kept out of the
    // store that members of the group write.
    platform::RegKey entry;
    EXPECT_EQ(
        platform::Registry(root / "registry.db")
            .OpenKey(R"(SYSTEM\CurrentControlSet\Services\QDDRIVER)", platform::KEY_READ, entry),
        platform::ERROR_FILE_NOT_FOUND);
}

// Only root's own choice makes the root driver open a terminal that is no serial port, and nothing
// that is no terminal at all is ever mapped. A refused map leaves the stored one as it was.
TEST(Setup, MapsOnlySerialPortsUnlessTheMapMarksAnyTerminal) {
    TempDir dir;
    const fs::path root = dir / "root";
    int master = -1;
    int slave = -1;
    char pty[256];
    if (::openpty(&master, &slave, pty, nullptr, nullptr) != 0) {
        GTEST_SKIP() << "this machine has no pseudo-terminals";
    }
    ASSERT_EQ(RunSetupIn(root, {"--ports", "COM1=modem"}).status, 0);
    const auto map = driver::PortMapFilePath(root);
    const std::string before = test::ReadFile(map);

    SetupRun run = RunSetupIn(root, {"--ports", std::string("COM2=") + pty});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(std::string("COM2=") + pty +
                           ": not a serial port. To serve another terminal (a pseudo-terminal, a "
                           "modem bridged over the network), add --any-tty"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(test::ReadFile(map), before);

    test::WriteFile(dir / "file", "");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    fs::create_symlink(pty, dir / "link");
    for (const std::string& device : {(dir / "file").string(), (dir / "fifo").string(),
                                      std::string("/dev/null"), dir.Path().string()}) {
        run = RunSetupIn(root, {"--ports", "COM2=" + device, "--any-tty"});
        EXPECT_EQ(run.status, 1) << device;
        EXPECT_NE(run.err.find("COM2=" + device + ": not a terminal device"), std::string::npos)
            << run.err;
        EXPECT_EQ(test::ReadFile(map), before);
    }

    run = RunSetupIn(root, {"--any-tty", "--ports", "COM1=modem,COM2=" + (dir / "link").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(test::ReadFile(map),
              "# Written by kestrine-setup --ports: the COM ports the Kestrine "
              "driver serves.\nCOM1 modem\nCOM2 any-tty " +
                  (dir / "link").string() + "\n");
    EXPECT_EQ(fs::status(map).permissions(), fs::perms(0644));

    EXPECT_EQ(RunSetupIn(root, {"--any-tty"}).status, 2) << "it marks a map, so it needs one";
    ::close(master);
    ::close(slave);
}
