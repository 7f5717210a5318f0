// Dialling programs from Debian's packages against a published port of a real qddriver.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "tests/driver/DriverHarness.h"

using namespace kestrine;
using namespace kestrine::monitor;
using namespace kestrine::test;

namespace {

class RealClients : public AttachedDriverTest {
protected:
    void SetUp() override {
        if (!HavePtys()) {
            GTEST_SKIP() << "this machine has no pseudo-terminals (/dev/ptmx)";
        }
        if (!HaveProgram("picocom") || !HaveProgram("chat")) {
            GTEST_SKIP() << "picocom and chat (package ppp) are needed: run scripts/install-deps";
        }
        StartAttached({"0123 456"});
    }

    bool Reported(const std::string& number) {
        const auto events = EventsUntil(*device_, id_, "blocked:" + number);
        return !events.empty() && events.back() == "blocked:" + number;
    }
};

}  // namespace

TEST_F(RealClients, PicocomDiallingARefusedNumberHearsNoCarrier) {
    const auto run = test::RunProgram({"picocom", "-q", "-b", "9600", "-t", "ATDT0900123\r", "-x",
                                       "1000", driver_->Port(1).string()});
    EXPECT_NE(run.output.find("\r\nNO CARRIER\r\n"), std::string::npos) << run.output;
    EXPECT_TRUE(Reported("0900123"));
}

TEST_F(RealClients, ChatConnectsToAnAllowedNumberAndGivesUpOnARefusedOne) {
    const std::vector<std::string> script = {"chat",  "-v",         "-s", "-t",  "5",
                                             "ABORT", "NO CARRIER", "",   "ATZ", "OK"};
    auto allowed = script;
    allowed.insert(allowed.end(), {"ATDT0123-456", "CONNECT", ""});
    const auto connected = RunProgram(allowed, driver_->Port(1));
    EXPECT_EQ(connected.exitCode, 0) << connected.output;

    auto refused = script;
    refused.insert(refused.end(), {"ATDT0900555", "CONNECT", ""});
    const auto aborted = RunProgram(refused, driver_->Port(1));
    EXPECT_EQ(aborted.exitCode, 4) << "chat's exit code for an ABORT string\n" << aborted.output;
    EXPECT_TRUE(Reported("0900555"));
}

TEST_F(RealClients, ChatSendsATextMessageOnlyToAnAllowedNumber) {
    const std::vector<std::string> script = {"chat",
                                             "-v",
                                             "-s",
                                             "-t",
                                             "5",
                                             "ABORT",
                                             "ERROR",
                                             "ABORT",
                                             "NO CARRIER",
                                             "",
                                             "AT+CMGF=1",
                                             "OK",
                                             "AT+CMGS=\"0900 123\"",
                                             ">",
                                             "win a prize^Z\\c",
                                             "+CMGS"};
    const auto refused = RunProgram(script, driver_->Port(1));
    EXPECT_EQ(refused.exitCode, 4) << "chat's exit code for an ABORT string\n" << refused.output;
    EXPECT_TRUE(Reported("0900123"));

    SetAllowList(*device_, {"0123 456", "0900 123"});
    const auto sent = RunProgram(script, driver_->Port(1));
    EXPECT_EQ(sent.exitCode, 0) << sent.output;
}
