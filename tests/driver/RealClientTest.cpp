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

// A client's UUCP lock on a link of the test's own: removed when the test ends, however the client
// ended (one killed at its deadline leaves it behind), and only that one.
class OwnLock {
public:
    explicit OwnLock(const std::filesystem::path& link)
        : lock_("/run/lock/LCK.." + link.filename().string()) {}
    ~OwnLock() {
        std::error_code ignored;
        std::filesystem::remove(lock_, ignored);
    }
    OwnLock(const OwnLock&) = delete;
    OwnLock& operator=(const OwnLock&) = delete;

private:
    std::filesystem::path lock_;
};

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
    const OwnLock lock(modem);
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

// minicom with the init string it has long shipped with (blanks, L, X4, a lower-case &c1), then a
// script of its own (runscript) that dials a refused number and an allowed one. It locks by the
// link's name, as wvdial does; it never exits by itself, so the script ends it.
TEST_F(RealClients, MinicomSetsUpAndDialsOnlyAnAllowedNumber) {
    if (!HaveProgram("minicom") || !HaveProgram("script")) {
        GTEST_SKIP() << "minicom (and script, from bsdutils) are needed: run scripts/install-deps";
    }
    TempDir home;
    const auto modem = home.Path() / ("modem-" + home.Path().filename().string());
    std::filesystem::create_symlink(driver_->Port(1), modem);
    const OwnLock lock(modem);
    const auto verdict = home.Path() / "verdict";
    WriteFile(home.Path() / ".minirc.dfl",
              "pu mreset           ATZ^M\n"
              "pu minit            ~^M~AT S7=45 S0=0 L1 V1 X4 &c1 E1 Q0^M\n");
    WriteFile(home.Path() / "dial",
              "expect {\n  \"OK\"\n  timeout 10 goto end\n}\n"
              "send \"ATDT0900123\"\n"
              "expect {\n  \"NO CARRIER\"\n  timeout 10 goto end\n}\n"
              "! echo refused >> " + verdict.string() + "\n"
              "send \"ATDT0123456\"\n"
              "expect {\n  \"CONNECT\"\n  timeout 10 goto end\n}\n"
              "! echo connected >> " + verdict.string() + "\n"
              "end:\n"
              "! read -r _ _ _ minicom _ < /proc/$PPID/stat; kill $minicom\n");
    const auto run = RunProgram({"script", "-qec",
                                 "HOME=" + home.Path().string() + " TERM=vt100 minicom -D " +
                                     modem.string() + " -b 9600 -S " + (home.Path() / "dial").string(),
                                 "/dev/null"},
                                {}, std::chrono::seconds(40));
    EXPECT_EQ(ReadFile(verdict), "refused\nconnected\n") << run.output;
    EXPECT_TRUE(Reported("0900123"));
}
