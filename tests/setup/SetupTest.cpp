#include "setup/Setup.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

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

SetupRun RunSetupIn(const fs::path& root, std::vector<std::string> args = {}) {
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
        ::setenv("KESTRINE_ROOT", root.c_str(), 1);
        const auto map = driver::ReadPortMapFromRegistry();
        ::unsetenv("KESTRINE_ROOT");
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

    // The service entry is the application's business.
    platform::RegKey entry;
    platform::RegValue type;
    ASSERT_EQ(
        platform::Registry(root / "registry.db")
            .OpenKey(R"(SYSTEM\CurrentControlSet\Services\QDDRIVER)", platform::KEY_READ, entry),
        platform::ERROR_SUCCESS);
    EXPECT_EQ(entry.QueryValue("Type", type), platform::ERROR_FILE_NOT_FOUND);
}
