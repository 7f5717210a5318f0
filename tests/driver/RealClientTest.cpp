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

struct Run {
    int exitCode = -1;
    std::string output;
};

// Runs a program to its end (killed after 30 s); `port`, when given, is its standard input and
// output, as `<>PORT >&0` gives it in a shell.
Run RunProgram(std::vector<std::string> args, const std::filesystem::path& port = {}) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        return {};
    }
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in =
            port.empty() ? ::open("/dev/null", O_RDONLY) : ::open(port.c_str(), O_RDWR | O_NOCTTY);
        ::dup2(in, 0);
        if (!port.empty()) {
            ::dup2(in, 1);
            ::dup2(out[1], 2);  // chat reports on standard error
        } else {
            ::dup2(out[1], 1);
            ::dup2(out[1], 2);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    Run run;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{out[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        char buffer[4096];
        const auto n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        run.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

class RealClients : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HavePtys()) {
            GTEST_SKIP() << "this machine has no pseudo-terminals (/dev/ptmx)";
        }
        if (!HaveProgram("picocom") || !HaveProgram("chat")) {
            GTEST_SKIP() << "picocom and chat (package ppp) are needed: run scripts/install-deps";
        }
        driver_ = std::make_unique<DriverProcess>();
        ASSERT_TRUE(driver_->Ready());
        device_ = OpenDriver();
        ASSERT_TRUE(device_);
        id_ = Attach(*device_, 1);
        SetAllowList(*device_, {"0123 456"});
    }

    bool Reported(const std::string& number) {
        const auto events = EventsUntil(*device_, id_, "blocked:" + number);
        return !events.empty() && events.back() == "blocked:" + number;
    }

    std::unique_ptr<DriverProcess> driver_;
    std::shared_ptr<platform::Device> device_;
    PortId id_ = 0;
};

}  // namespace

TEST_F(RealClients, PicocomDiallingARefusedNumberHearsNoCarrier) {
    const auto run = RunProgram({"picocom", "-q", "-b", "9600", "-t", "ATDT0900123\r", "-x", "1000",
                                 driver_->Port(1).string()});
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
