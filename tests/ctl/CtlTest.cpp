// kestrine-ctl: the same rules as the window (PIN gate, log lines), and what a shell expects of it.
#include "ctl/Ctl.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "numbers/NumberListClass.h"
#include "platform/Registry.h"
#include "platform/SystemRoot.h"
#include "tests/driver/DriverHarness.h"
#include "tests/support/PrivateRoot.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TempDir.h"

using namespace kestrine;

namespace {

struct Outcome {
    int exit = -1;
    std::string out;
    std::string err;
};

class Ctl : public ::testing::Test {
protected:
    Outcome Invoke(const std::vector<std::string>& args) {
        std::ostringstream out;
        std::ostringstream err;
        ctl::CtlEnvironment env{prompts, out, err, logDir.Path()};
        Outcome run;
        run.exit = ctl::RunCtl(args, env);
        run.out = out.str();
        run.err = err.str();
        return run;
    }
    numbers::TNumberList Store() {
        return numbers::TNumberList(platform::Registry(platform::RegistryDatabasePath()));
    }
    std::string Log() { return test::ReadFile(logDir / "qdlog.log"); }

    test::PrivateRoot root;
    test::TempDir logDir;
    test::ScriptedPrompts prompts;
};

}  // namespace

TEST_F(Ctl, UsageMistakesAreExitTwoAndHelpAndVersionAnswer) {
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string says;
    };
    const Case cases[] = {
        {{"--help"}, ctl::kExitDone, "usage: kestrine-ctl"},
        {{"--version"}, ctl::kExitDone, "kestrine-ctl "},
        {{}, ctl::kExitUsage, "a command is needed"},
        {{"frob"}, ctl::kExitUsage, "unknown command: frob"},
        {{"allow"}, ctl::kExitUsage, "allow: wrong number of arguments"},
        {{"remove", "1", "2"}, ctl::kExitUsage, "remove: wrong number of arguments"},
        {{"log", "-n", "x"}, ctl::kExitUsage, "-n needs a number: x"},
        {{"log", "--tail"}, ctl::kExitUsage, "log: unknown option --tail"},
        {{"--log-dir"}, ctl::kExitUsage, "--log-dir needs a folder"},
    };
    for (const auto& c : cases) {
        const auto run = Invoke(c.args);
        EXPECT_EQ(run.exit, c.exit) << c.says;
        EXPECT_NE((run.out + run.err).find(c.says), std::string::npos) << run.out << run.err;
    }
}

// Allow and remove go through the window's editing code: while parental control is on the PIN
// is asked, a wrong one changes nothing and logs nothing, the right one stores the change and
// logs the window's line.
TEST_F(Ctl, AllowAndRemoveFollowTheWindowsRules) {
    root.MakeStore();
    {
        auto store = Store();
        store.SetPIN("4711");
        store.SetParentalControl(true);
        store.SaveNumbers(std::vector<std::string>{"0800111222"});
    }
    test::WriteFile(logDir / "qdlog.log", "");

    prompts.ExpectAskPIN("", true, "0000")
        .ExpectCommonError(
            "Invalid PIN.  You must enter the correct Pin to add a number to the allowed list.");
    auto run = Invoke({"allow", "0900123456789"});
    EXPECT_EQ(run.exit, ctl::kExitFailed);
    EXPECT_EQ(Store().LoadNumbers(), std::vector<std::string>{"0800111222"});
    EXPECT_EQ(Log(), "");

    prompts.ExpectAskPIN("", true, "4711");
    run = Invoke({"allow", "0900123456789"});
    EXPECT_EQ(run.exit, ctl::kExitDone) << run.err;
    EXPECT_EQ(Store().LoadNumbers(), (std::vector<std::string>{"0800111222", "0900123456789"}));
    EXPECT_NE(Log().find(": 0900123456789 added to allow list.\r\n"), std::string::npos) << Log();

    prompts.ExpectConfirm("0123 is too short.\r\nIs this a valid telephone number?", false);
    EXPECT_EQ(Invoke({"allow", "0123"}).exit, ctl::kExitFailed) << "the window's question, No";
    prompts.ExpectAskPIN("", true, "4711");
    EXPECT_EQ(Invoke({"allow", "-y", "0123"}).exit, ctl::kExitDone) << "-y answers it";

    run = Invoke({"remove", "0999"});
    EXPECT_EQ(run.exit, ctl::kExitFailed);
    EXPECT_NE(run.err.find("0999 is not on the allowed list"), std::string::npos);

    prompts.ExpectAskPIN("", true, "4711");
    run = Invoke({"remove", "0800111222"});
    EXPECT_EQ(run.exit, ctl::kExitDone) << run.err;
    EXPECT_EQ(Store().LoadNumbers(), (std::vector<std::string>{"0900123456789", "0123"}));
    EXPECT_NE(Log().find(": 0800111222 removed from allow list.\r\n"), std::string::npos);

    run = Invoke({"allowed"});
    EXPECT_EQ(run.exit, ctl::kExitDone);
    EXPECT_EQ(run.out, "0900123456789\n0123\n");
}

// Status says whether the machine is protected and why not; log shows the refusals, newest last.
TEST_F(Ctl, StatusAndLog) {
    root.MakeStore();
    auto run = Invoke({"status"});
    EXPECT_EQ(run.exit, ctl::kExitNotProtecting);
    EXPECT_NE(run.out.find("Kestrine is not protecting: the monitoring driver is not running"),
              std::string::npos)
        << run.out;

    test::WriteFile(logDir / "qdlog.log",
                    "12/10/26 15:33:08: Port Opened\r\n"
                    "12/10/26 15:33:08: 0900111 blocked\r\n"
                    "12/10/26 15:33:08: dialled by /usr/bin/picocom (process 1)\r\n"
                    "12/10/26 15:34:00: 0900222 was refused on 12/10/26 at 15:30:00 while "
                    "Kestrine was not running (the driver kept it)\r\n"
                    "12/10/26 15:35:00: 0900333 blocked\r\n");
    run = Invoke({"log", "-n", "2"});
    EXPECT_EQ(run.exit, ctl::kExitDone);
    EXPECT_EQ(run.out,
              "12/10/26 15:34:00: 0900222 was refused on 12/10/26 at 15:30:00 while Kestrine "
              "was not running (the driver kept it)\n"
              "12/10/26 15:35:00: 0900333 blocked\n");
    run = Invoke({"log"});
    EXPECT_EQ(run.out.rfind("12/10/26 15:33:08: 0900111 blocked\n  dialled by /usr/bin/picocom "
                            "(process 1)\n",
                            0),
              0u)
        << run.out;

    if (!test::HavePtys()) {
        GTEST_SKIP() << "this machine has no pseudo-terminals: no driver for the rest";
    }
    test::DriverProcess driver;
    ASSERT_TRUE(driver.Ready());
    run = Invoke({"status"});
    EXPECT_NE(run.out.find("driver:         running"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("COM1:           served at"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("last refusal: none since the service started"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("last refusal in the log: 12/10/26 15:35:00: 0900333 blocked"),
              std::string::npos)
        << run.out;

    // Refused with no application there: the service names it on its port, and keeps it for the
    // next application, which log shows after the log's own, newest last.
    {
        test::OpenPort port(driver.Port(1));
        port.Write("ATDT0900444\r");
        EXPECT_NE(port.ReadUntil("NO CARRIER").find("NO CARRIER"), std::string::npos);
    }
    run = Invoke({"status"});
    EXPECT_NE(run.out.find("last refusal: 0900444 on "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("not yet logged: 1 refusal the service keeps"), std::string::npos)
        << run.out;
    run = Invoke({"log", "-n", "2"});
    EXPECT_EQ(run.exit, ctl::kExitDone) << run.err;
    EXPECT_EQ(run.out.rfind("12/10/26 15:35:00: 0900333 blocked\n"
                            "1 refusal not yet logged by an application",
                            0),
              0u)
        << run.out;
    EXPECT_NE(run.out.find(": 0900444 refused on COM1\n"), std::string::npos) << run.out;

    // Without a log (nobody has logged in yet) the service's refusals are shown all the same.
    std::filesystem::remove(logDir / "qdlog.log");
    run = Invoke({"log"});
    EXPECT_EQ(run.exit, ctl::kExitDone) << run.err;
    EXPECT_NE(run.out.find(": 0900444 refused on COM1\n"), std::string::npos) << run.out;
}
