// What a program does on a published port, as events, through a real qddriver.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Device.h"
#include "tests/driver/DriverHarness.h"
#include "tests/support/ModemStandIn.h"

using namespace kestrine;
using namespace kestrine::monitor;
using namespace kestrine::test;

namespace {

class PortEvents : public AttachedDriverTest {
protected:
    void SetUp() override {
        if (!HavePtys()) {
            GTEST_SKIP() << "this machine has no pseudo-terminals (/dev/ptmx): port tests skipped";
        }
        StartAttached({"0123456"});
    }

    // The events up to and including `last`.
    std::vector<std::string> Until(const std::string& last,
                                   std::chrono::milliseconds timeout = 10s) {
        return EventsUntil(*device_, id_, last, timeout);
    }

    static void Set(int fd, const std::function<void(termios&)>& change) {
        termios t{};
        ASSERT_EQ(::tcgetattr(fd, &t), 0);
        change(t);
        ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
    }
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

TEST_F(PortEvents, EveryRefusedDialIsReportedEvenWhenNobodyReadsForAWhile) {
    OpenPort program(driver_->Port(1));
    program.Write("ATE0\r");
    program.ReadUntil("OK\r\n");
    // More refusals than the queue holds events: the port waits for the reader, drops none.
    std::string lines;
    std::vector<std::string> expected;
    for (int i = 0; i < 400; ++i) {
        const std::string number = "0900" + std::to_string(1000 + i);
        lines += "ATDT" + number + "\r";
        expected.push_back("blocked:" + number);
    }
    std::thread writer([&] { program.Write(lines); });  // may block until events are read
    std::vector<std::string> blocked;
    for (const auto& event : Until(expected.back(), 30s)) {
        if (event.rfind("blocked:", 0) == 0) {
            blocked.push_back(event);
        }
    }
    writer.join();
    EXPECT_EQ(blocked, expected);
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

// A driver killed outright cannot take its ports down; what it published must not outlive it,
// since its terminal's number goes to the next terminal anyone opens.
TEST_F(PortEvents, APortPublishedByAKilledDriverDisappearsWithIt) {
    const auto port = driver_->Port(1);
    ASSERT_TRUE(std::filesystem::is_symlink(port));
    device_.reset();
    driver_->Stop(SIGKILL);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::filesystem::is_symlink(port) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_FALSE(std::filesystem::is_symlink(port));
}

// The folder of the published ports, planted as a link to someone else's folder: nothing is
// published through it.
TEST(PublishedPorts, AreNotPublishedThroughAPlantedLink) {
    if (!HavePtys()) {
        GTEST_SKIP() << "this machine has no pseudo-terminals (/dev/ptmx)";
    }
    TempDir victim;
    DriverProcess driver({"COM1=modem"}, [&](const std::filesystem::path& root) {
        std::filesystem::remove_all(root / "dev");
        std::filesystem::create_symlink(victim.Path(), root / "dev");
    });
    ASSERT_TRUE(driver.Ready());
    auto device = OpenDriver();
    ASSERT_TRUE(device);
    std::vector<std::uint8_t> id(4);
    EXPECT_FALSE(device->Control(IOCTL_MONITOR_ATTACH_PORT, PortNameBuffer(1), id).Succeeded());
    EXPECT_TRUE(std::filesystem::is_empty(victim.Path()));
}

namespace {

// A port served by a "serial device" that is a pseudo-terminal whose far end the test holds.
class DevicePort : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HavePtys()) {
            GTEST_SKIP() << "this machine has no pseudo-terminals (/dev/ptmx): port tests skipped";
        }
        far_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(far_, 0);
        ASSERT_EQ(::grantpt(far_), 0);
        ASSERT_EQ(::unlockpt(far_), 0);
        driver_ = std::make_unique<DriverProcess>(
            std::vector<std::string>{std::string("COM2=") + ::ptsname(far_), "--any-tty"});
        ASSERT_TRUE(driver_->Ready());
        device_ = OpenDriver();
        ASSERT_TRUE(device_);
        id_ = Attach(*device_, 2);
        SetAllowList(*device_, {"0123456"});
    }
    void TearDown() override {
        if (far_ >= 0) {
            ::close(far_);
        }
    }

    // Reads exactly `n` bytes from `fd`, or what came within 10 s.
    static std::string ReadExactly(int fd, std::size_t n) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{fd, POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0) {
                continue;
            }
            char buffer[512];
            const auto r = ::read(fd, buffer, std::min(sizeof buffer, n - got.size()));
            if (r <= 0) {
                break;
            }
            got.append(buffer, static_cast<std::size_t>(r));
        }
        return got;
    }

    bool ServeConfiguration() { return AnswerModemConfiguration(far_); }

    // Waits until the device's settings satisfy `test`.
    bool DeviceBecomes(const std::function<bool(const termios&)>& test) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        termios t{};
        while (std::chrono::steady_clock::now() < deadline) {
            if (::tcgetattr(far_, &t) == 0 && test(t)) {
                return true;
            }
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }

    int far_ = -1;
    std::unique_ptr<DriverProcess> driver_;
    std::shared_ptr<platform::Device> device_;
    PortId id_ = 0;
};

}  // namespace

TEST_F(DevicePort, SettingsAreMirroredAndBytesPassUnchangedBothWays) {
    ASSERT_TRUE(ServeConfiguration()) << "the blocker configures the modem at attach";
    OpenPort program(driver_->Port(2));
    termios t{};
    ASSERT_EQ(::tcgetattr(program.Fd(), &t), 0);
    cfsetispeed(&t, B19200);
    cfsetospeed(&t, B19200);
    t.c_cflag |= CSTOPB;
    ASSERT_EQ(::tcsetattr(program.Fd(), TCSANOW, &t), 0);
    EXPECT_TRUE(DeviceBecomes(
        [](const termios& d) { return cfgetospeed(&d) == B19200 && (d.c_cflag & CSTOPB) != 0; }));

    program.Write("ATDT0123456\r");
    EXPECT_EQ(ReadExactly(far_, 12), "ATDT0123456\r")
        << "an allowed dial is forwarded as it was read";
    ASSERT_EQ(::write(far_, "\r\nCONNECT 9600\r\n", 16), 16);
    EXPECT_NE(program.ReadUntil("CONNECT 9600\r\n").find("CONNECT 9600"), std::string::npos);

    std::string everyByte;
    for (int b = 0; b < 256; ++b) {
        everyByte.push_back(static_cast<char>(b));
    }
    program.Write(everyByte);
    EXPECT_EQ(ReadExactly(far_, everyByte.size()), everyByte);
    ASSERT_EQ(::write(far_, everyByte.data(), everyByte.size()), 256);
    EXPECT_EQ(program.ReadUntil(std::string(1, '\xFF')), everyByte);

    cfsetospeed(&t, B0);
    ASSERT_EQ(::tcsetattr(program.Fd(), TCSANOW, &t), 0);
    EXPECT_TRUE(DeviceBecomes([](const termios& d) { return cfgetospeed(&d) == B0; }))
        << "B0 hangs up";
}

TEST_F(DevicePort, AProgramThatDoesNotReadHoldsUpTheDeviceInsteadOfFillingTheDriver) {
    ASSERT_TRUE(ServeConfiguration());
    OpenPort program(driver_->Port(2));  // opens, never reads
    ASSERT_EQ(::fcntl(far_, F_SETFL, O_NONBLOCK), 0);
    const std::string chunk(64 * 1024, 'x');
    std::size_t written = 0;
    // Write until the device side stays full for a second, or far more than any buffer holds.
    while (written < 16u * 1024 * 1024) {
        const auto n = ::write(far_, chunk.data(), chunk.size());
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        pollfd pfd{far_, POLLOUT, 0};
        if (::poll(&pfd, 1, 1000) == 0) {
            break;
        }
    }
    EXPECT_LT(written, 4u * 1024 * 1024) << "the driver kept reading what nobody takes";
}
