// Dialling programs from Debian's packages against a published port of a real qddriver.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/driver/DriverHarness.h"
#include "tests/support/RunProgram.h"
#include "tests/support/TempDir.h"

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

// pyserial, as dialling scripts written in Python use it: the program's settings and lines as it
// writes them, the blocker's answers as it reads them.
TEST_F(RealClients, PythonSerialHearsOkNoCarrierAndConnect) {
    // Debian's python3, where the package installs the module (a python3 of the user's own,
    // earlier in PATH, may not see it).
    const std::string python =
        std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    if (FindProgram(python).empty() || RunProgram({python, "-c", "import serial"}).exitCode != 0) {
        GTEST_SKIP() << "python3-serial is needed: run scripts/install-deps";
    }
    const auto run = RunProgram(
        {python, "-c",
         "import serial, sys\n"
         "s = serial.Serial(sys.argv[1], 9600, timeout=5)\n"
         "for line, answer in ((b'ATZ\\r', b'OK\\r\\n'), (b'ATDT0900123\\r', b'NO CARRIER\\r\\n'),\n"
         "                     (b'ATDT0123456\\r', b'CONNECT')):\n"
         "    s.write(line)\n"
         "    got = s.read_until(answer)\n"
         "    print(repr(got))\n"
         "    assert got.endswith(answer), got\n",
         driver_->Port(1).string()});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(Reported("0900123"));
}

// wvdial's own dialogue (its init strings, its dial command, what it waits for) through the port:
// a refused number ends its attempt with NO CARRIER, an allowed one connects (pppd then finds no
// /dev/ppp here, which ends the run).
//
// Two things of wvdial's own are kept out of the verdict. It locks LCK..<name> in /run/lock by the
// name it is given, so it dials through a link whose name no other test uses (every driver here
// publishes a COM1). And its task switcher now and then aborts on its own stack check
// ("wvtask.cc ... stack_magic"), seen under load in a run whose dialogue up to then was right; such
// a run says nothing about the port and is tried again, a few times at most.
TEST_F(RealClients, WvdialGivesUpOnARefusedNumberAndConnectsToAnAllowedOne) {
    if (!HaveProgram("wvdial")) {
        GTEST_SKIP() << "wvdial is needed: run scripts/install-deps";
    }
    TempDir home;
    const auto modem = home.Path() / ("modem-" + home.Path().filename().string());
    std::filesystem::create_symlink(driver_->Port(1), modem);
    auto dial = [&](const std::string& number) {
        const auto config = home.Path() / ("wvdial-" + number + ".conf");
        std::ofstream(config) << "[Dialer Defaults]\nModem = " << modem.string()
                              << "\nBaud = 9600\nInit1 = ATZ\nInit2 = ATQ0 V1 E1 S0=0 &C1 &D2\n"
                              << "Phone = " << number << "\nUsername = u\nPassword = p\n"
                              << "Dial Attempts = 1\nCarrier Check = no\nStupid Mode = 1\n";
        ProgramRun run;
        for (int attempt = 0; attempt < 3; ++attempt) {
            run = RunProgram({"wvdial", "--config", config.string()}, {}, std::chrono::seconds(20));
            if (run.output.find("wvtask.cc") == std::string::npos) {
                break;
            }
        }
        return run;
    };
    const auto refused = dial("0900123");
    EXPECT_NE(refused.output.find("NO CARRIER"), std::string::npos) << refused.output;
    EXPECT_TRUE(Reported("0900123"));
    const auto allowed = dial("0123456");
    EXPECT_NE(allowed.output.find("CONNECT"), std::string::npos) << allowed.output;
}
