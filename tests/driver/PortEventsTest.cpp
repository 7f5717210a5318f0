// What a program does on a published port, as events, through a real qddriver.
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Device.h"
#include "tests/driver/DriverHarness.h"

using namespace kestrine;
using namespace kestrine::monitor;
using namespace kestrine::test;

namespace {

class PortEvents : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HavePtys()) {
            GTEST_SKIP() << "this machine has no pseudo-terminals (/dev/ptmx): port tests skipped";
        }
        driver_ = std::make_unique<DriverProcess>();
        ASSERT_TRUE(driver_->Ready());
        device_ = OpenDriver();
        ASSERT_TRUE(device_);
        id_ = Attach(*device_, 1);
        SetAllowList(*device_, {"0123456"});
    }

    // The events up to and including `last`.
    std::vector<std::string> Until(const std::string& last) {
        return EventsUntil(*device_, id_, last);
    }

    static void Set(int fd, const std::function<void(termios&)>& change) {
        termios t{};
        ASSERT_EQ(::tcgetattr(fd, &t), 0);
        change(t);
        ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
    }

    std::unique_ptr<DriverProcess> driver_;
    std::shared_ptr<platform::Device> device_;
    PortId id_ = 0;
};

using Events = std::vector<std::string>;

}  // namespace

TEST_F(PortEvents, SettingsFlushesAndTrafficArriveInOrder) {
    {
        OpenPort program(driver_->Port(1));
        EXPECT_EQ(Until("opened"), Events{"opened"});

        Set(program.Fd(), [](termios& t) {
            cfsetispeed(&t, B19200);
            cfsetospeed(&t, B19200);
        });
        EXPECT_EQ(Until("baud:19200"), Events{"baud:19200"});
        Set(program.Fd(), [](termios& t) { t.c_cflag |= CSTOPB; });
        EXPECT_EQ(Until("line:2,0,8"), Events{"line:2,0,8"});
        ASSERT_EQ(::tcflush(program.Fd(), TCIOFLUSH), 0);
        EXPECT_EQ(Until("flushed"), Events{"flushed"});

        program.Write("AT\r");
        EXPECT_EQ(program.ReadUntil("OK\r\n"), "AT\r\r\nOK\r\n");
        EXPECT_EQ(Until("read:AT\r\r\nOK\r\n"), (Events{"write:AT\r", "read:AT\r\r\nOK\r\n"}));
    }
    EXPECT_EQ(Until("closed"), Events{"closed"});
}

TEST_F(PortEvents, SettingsStayVisibleWhenTheProgramClearsEveryLocalFlag) {
    OpenPort program(driver_->Port(1));
    Set(program.Fd(), [](termios& t) { t.c_lflag = 0; });
    // The driver notices and restores what it needs; only then is the next change visible.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    termios now{};
    while (::tcgetattr(program.Fd(), &now) == 0 && (now.c_lflag & EXTPROC) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_NE(now.c_lflag & EXTPROC, 0u);
    Set(program.Fd(), [](termios& t) {
        cfsetospeed(&t, B2400);
        cfsetispeed(&t, B2400);
    });
    const auto events = Until("baud:2400");
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "baud:2400");
    EXPECT_EQ(std::count(events.begin(), events.end(), "baud:2400"), 1);
}

TEST_F(PortEvents, OpenedAndClosedCountTheFirstAndLastOpenerOnly) {
    {
        OpenPort first(driver_->Port(1));
        OpenPort second(driver_->Port(1));
        first.Write("AT\r");
        second.ReadUntil("OK\r\n");
    }
    const auto events = Until("closed");
    EXPECT_EQ(std::count(events.begin(), events.end(), "opened"), 1)
        << ::testing::PrintToString(events);
    EXPECT_EQ(events.back(), "closed");
    EXPECT_EQ(std::count(events.begin(), events.end(), "closed"), 1);
}

TEST_F(PortEvents, BlockedDialIsReportedAndHangingUpEndsAnAllowedCall) {
    OpenPort program(driver_->Port(1));
    program.Write("ATDT 0900-123\r");
    EXPECT_EQ(program.ReadUntil("NO CARRIER\r\n"), "ATDT 0900-123\r\r\nNO CARRIER\r\n");
    const auto events = Until("blocked:0900123");
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "blocked:0900123");

    program.Write("ATDT0123456\r");
    EXPECT_NE(program.ReadUntil("CONNECT 33600\r\n").find("CONNECT 33600"), std::string::npos);
    program.Write("hello");
    EXPECT_EQ(program.ReadUntil("hello"), "hello") << "the far end of the virtual line echoes";
    Set(program.Fd(), [](termios& t) { cfsetospeed(&t, B0); });
    EXPECT_EQ(program.ReadUntil("NO CARRIER\r\n"), "\r\nNO CARRIER\r\n") << "B0 hangs up";
    EXPECT_EQ(Until("baud:0").back(), "baud:0");
}
