// A modem nobody here wrote (libspandsp's AT interpreter, tests/support/SpanModem.h) served by a
// real qddriver as a device behind a pseudo-terminal, as a real modem would be: real dialling
// programs and the attack sessions go through the published port, and the modem must never
// place a call to a number that is not allowed.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "driver/AllowList.h"
#include "tests/driver/DriverHarness.h"
#include "tests/fuzz/DialSession.h"
#include "tests/support/SpanModem.h"

using namespace kestrine;
using namespace kestrine::test;
using namespace std::chrono_literals;

namespace {

// The independent modem on the far side of a pseudo-terminal, answered by a thread of its own.
class PtyModem {
public:
    PtyModem() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
            slave_ = ::ptsname(master_);
            thread_ = std::thread([this] { Serve(); });
        }
    }
    ~PtyModem() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (master_ >= 0) {
            ::close(master_);
        }
    }
    const std::string& Slave() const { return slave_; }
    std::vector<SpanModem::Dialled> Calls() {
        std::lock_guard lock(mutex_);
        return modem_.Calls();
    }
    std::optional<std::string> Breach(const driver::AllowList& allowed) {
        std::lock_guard lock(mutex_);
        return FirstBreach(modem_, allowed);
    }

private:
    void Serve() {
        char buffer[4096];
        bool dtrDown = false;
        while (!stop_) {
            std::string answer;
            // DTR: the device's speed set to 0 (the terminal's settings are shared with the
            // master) hangs the modem up, as a serial line's DTR drop would.
            termios settings{};
            const bool down = ::tcgetattr(master_, &settings) == 0 && cfgetospeed(&settings) == B0;
            if (down && !dtrDown) {
                std::lock_guard lock(mutex_);
                answer = modem_.HangUp(true);
            }
            dtrDown = down;
            pollfd pfd{master_, POLLIN, 0};
            if (answer.empty() && (::poll(&pfd, 1, 5) <= 0 || (pfd.revents & POLLIN) == 0)) {
                continue;
            }
            const auto n = answer.empty() ? ::read(master_, buffer, sizeof buffer) : 0;
            if (answer.empty() && n <= 0) {
                std::this_thread::sleep_for(5ms);  // nobody holds the device yet
                continue;
            }
            if (n > 0) {
                std::lock_guard lock(mutex_);
                answer = modem_.Input({buffer, static_cast<std::size_t>(n)}, SpanModem::Clock::now());
            }
            for (std::size_t done = 0; done < answer.size();) {
                const auto w = ::write(master_, answer.data() + done, answer.size() - done);
                if (w <= 0) {
                    break;
                }
                done += static_cast<std::size_t>(w);
            }
        }
    }

    int master_ = -1;
    std::string slave_;
    std::mutex mutex_;
    SpanModem modem_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class IndependentModem : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HavePtys()) {
            GTEST_SKIP() << "this machine has no pseudo-terminals (/dev/ptmx)";
        }
        modem_ = std::make_unique<PtyModem>();
        ASSERT_FALSE(modem_->Slave().empty());
        driver_ = std::make_unique<DriverProcess>(
            std::vector<std::string>{"COM2=" + modem_->Slave(), "--any-tty"});
        ASSERT_TRUE(driver_->Ready());
        device_ = OpenDriver();
        ASSERT_TRUE(device_);
        id_ = Attach(*device_, 2);
        SetAllowList(*device_, {kSessionAllowed});
        allowed_.Replace({kSessionAllowed});
    }

    driver::AllowList allowed_;
    std::unique_ptr<PtyModem> modem_;
    std::unique_ptr<DriverProcess> driver_;
    std::shared_ptr<platform::Device> device_;
    monitor::PortId id_ = 0;
};

}  // namespace

TEST_F(IndependentModem, ChatConnectsToTheAllowedNumberAndNeverReachesAnother) {
    if (!HaveProgram("chat")) {
        GTEST_SKIP() << "chat (package ppp) is needed: run scripts/install-deps";
    }
    const std::vector<std::string> script = {"chat", "-v", "-s", "-t", "10", "ABORT",
                                             "NO CARRIER", "", "ATZ", "OK"};
    auto allowed = script;
    allowed.insert(allowed.end(), {"ATDT0123456", "CONNECT", ""});
    const auto connected = RunProgram(allowed, driver_->Port(2));
    EXPECT_EQ(connected.exitCode, 0) << connected.output;

    auto refused = script;
    refused.insert(refused.end(), {"ATDT0900555", "CONNECT", ""});
    const auto aborted = RunProgram(refused, driver_->Port(2));
    EXPECT_EQ(aborted.exitCode, 4) << aborted.output;

    const auto calls = modem_->Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(driver::NormaliseNumber(calls.front().number), "0123456");
    EXPECT_FALSE(modem_->Breach(allowed_));
}

// The seed sessions of the dial fuzzers, written through the published port as a program would
// write them (timing steps become short pauses, hang-ups a close of the port).
TEST_F(IndependentModem, TheFuzzersSeedSessionsThroughThePublishedPort) {
    for (const auto& entry : std::filesystem::directory_iterator(KESTRINE_DIAL_CORPUS)) {
        std::ifstream file(entry.path(), std::ios::binary);
        std::ostringstream content;
        content << file.rdbuf();
        const std::string input = content.str();
        auto program = std::make_unique<OpenPort>(driver_->Port(2));
        for (std::size_t at = 1; at < input.size();) {
            const auto control = static_cast<unsigned char>(input[at++]);
            if ((control & 0xC0) == 0xC0) {
                if (((control >> 3) & 7) == 0) {
                    program.reset();
                    program = std::make_unique<OpenPort>(driver_->Port(2));
                }
                program->ReadUntilQuiet(30ms);
                continue;
            }
            const std::size_t length = std::min<std::size_t>(control & 0x3F, input.size() - at);
            if ((control & 0xC0) != 0x80) {
                program->Write(input.substr(at, length));
                program->ReadUntilQuiet(30ms);
            }
            at += length;
        }
        program.reset();
        EXPECT_FALSE(modem_->Breach(allowed_)) << entry.path().filename();
    }
}
