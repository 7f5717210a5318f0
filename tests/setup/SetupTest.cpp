#include "setup/Setup.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

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

    run = RunSetupIn(dir.Path(), {"--ports"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "kestrine-setup: unknown option '--ports'\nTry 'kestrine-setup --help'.\n");
    EXPECT_FALSE(fs::exists(dir / "registry.db")) << "a wrong command line changes nothing";
}

TEST(Setup, HelpExplainsAndChangesNothing) {
    TempDir dir;
    const SetupRun run = RunSetupIn(dir / "root", {"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("Usage: kestrine-setup"), std::string::npos);
    EXPECT_NE(run.out.find("KESTRINE_ROOT"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "root"));
}
