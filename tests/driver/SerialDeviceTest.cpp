// What the driver opens for a port (only serial ports, or terminals root marked; never a file, a
// FIFO, a folder or another device), that it revokes earlier openings, and lock files it cannot be
// made to trust or wait on.
#include "driver/SerialDevice.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "driver/DeviceHold.h"
#include "tests/support/TempDir.h"

using namespace kestrine;
using namespace kestrine::driver;
using namespace kestrine::platform;
namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

// A pseudo-terminal whose master the test holds: the stand-in for a modem.
struct StandIn {
    StandIn() {
        char name[256];
        int m = -1;
        int s = -1;
        if (::openpty(&m, &s, name, nullptr, nullptr) == 0) {
            master.Reset(m);
            ::close(s);
            slave = name;
        }
    }
    UniqueFd master;
    std::string slave;
};

PortBackend Device(const std::string& path, bool anyTty) {
    return PortBackend{PortBackend::Kind::Device, path, anyTty};
}

// A child that holds `path` open until it is killed.
pid_t HoldOpen(const std::string& path) {
    int ready[2];
    if (::pipe(ready) != 0) {
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        const char opened = fd >= 0 ? 1 : 0;
        [[maybe_unused]] const auto told = ::write(ready[1], &opened, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char opened = 0;
    const bool ok = ::read(ready[0], &opened, 1) == 1 && opened == 1;
    ::close(ready[0]);
    return ok ? pid : -1;
}

void End(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

}  // namespace

TEST(SerialDevice, NothingButATerminalIsOpenedAndOnlyASerialPortUnlessMarked) {
    test::TempDir dir;
    test::WriteFile(dir / "file", "keep");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    StandIn standIn;
    if (standIn.slave.empty()) {
        GTEST_SKIP() << "this machine has no pseudo-terminals";
    }
    const struct {
        std::string path;
        bool anyTty;
        Win32Error error;
        std::string reason;
    } cases[] = {
        {(dir / "file").string(), true, ERROR_NOT_SUPPORTED, "is not a terminal device"},
        // Would block an open for reading for ever: never opened at all.
        {(dir / "fifo").string(), true, ERROR_NOT_SUPPORTED, "is not a terminal device"},
        {dir.Path().string(), true, ERROR_NOT_SUPPORTED, "is not a terminal device"},
        {"/dev/null", true, ERROR_NOT_SUPPORTED, "is not a terminal device"},
        {(dir / "missing").string(), true, ERROR_FILE_NOT_FOUND, "No such file"},
        {"relative/tty", true, ERROR_ACCESS_DENIED, "is not an absolute path"},
        {standIn.slave, false, ERROR_NOT_SUPPORTED,
         "is not a serial port (root may map another terminal with kestrine-setup --any-tty)"},
    };
    for (const auto& c : cases) {
        const auto opened = OpenHeldDevice(Device(c.path, c.anyTty));
        EXPECT_FALSE(opened.fd.Valid()) << c.path;
        EXPECT_EQ(opened.error, c.error) << c.path;
        EXPECT_NE(opened.reason.find(c.reason), std::string::npos) << opened.reason;
    }
    EXPECT_EQ(test::ReadFile(dir / "file"), "keep");

    // A terminal root marked is served; an unmarked one was left as it was (nothing revoked).
    const int early = ::open(standIn.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(early, 0);
    EXPECT_EQ(::write(early, "x", 1), 1) << "the refusal above changed nothing";
    const auto held = OpenHeldDevice(Device(standIn.slave, true));
    ASSERT_TRUE(held.fd.Valid()) << held.reason;
    EXPECT_EQ(held.error, ERROR_SUCCESS);
    ::close(early);
}

// A descriptor opened before the attach must not keep writing to the modem past the driver.
TEST(SerialDevice, EarlierOpeningsAreRevokedAndTheDeviceIsHeldExclusively) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "revoking other openings (TIOCVHANGUP) needs root";
    }
    StandIn standIn;
    if (standIn.slave.empty()) {
        GTEST_SKIP() << "this machine has no pseudo-terminals";
    }
    const int early = ::open(standIn.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(early, 0);
    const pid_t other = HoldOpen(standIn.slave);
    ASSERT_GT(other, 0);
    struct stat st {};
    ASSERT_EQ(::stat(standIn.slave.c_str(), &st), 0);
    EXPECT_EQ(OtherLiveHolders(st.st_rdev), std::vector<pid_t>{other});

    const auto held = OpenHeldDevice(Device(standIn.slave, true));
    ASSERT_TRUE(held.fd.Valid()) << held.reason;
    errno = 0;
    EXPECT_EQ(::write(early, "ATDT0900\r", 9), -1);
    EXPECT_EQ(errno, EIO) << "the earlier opening is dead";
    EXPECT_TRUE(OtherLiveHolders(st.st_rdev).empty()) << "the other process's opening too";
    int exclusive = 0;
    ASSERT_EQ(::ioctl(held.fd.Get(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);

    // What the driver writes reaches the modem, and the modem's answer reaches the driver.
    ASSERT_EQ(::write(held.fd.Get(), "AT\r", 3), 3);
    char buffer[16] = {};
    pollfd pfd{standIn.master.Get(), POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 5000), 1);
    EXPECT_EQ(::read(standIn.master.Get(), buffer, sizeof buffer), 3);
    ::close(early);
    End(other);
}

TEST(SerialDevice, LinksAreFollowedOnlyWhenRootOrTheDriversUserMadeThem) {
    test::TempDir dir;
    StandIn standIn;
    if (standIn.slave.empty()) {
        GTEST_SKIP() << "this machine has no pseudo-terminals";
    }
    fs::create_symlink(standIn.slave, dir / "modem");
    fs::create_symlink("modem", dir / "relative");
    std::string reason;
    EXPECT_EQ(ResolveTrustedLinks((dir / "relative").string(), reason), standIn.slave);
    EXPECT_EQ(ResolveTrustedLinks((dir / "sub" / ".." / "modem").string(), reason), standIn.slave);
    fs::create_symlink("loop", dir / "loop");
    EXPECT_EQ(ResolveTrustedLinks((dir / "loop").string(), reason), "");

    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to make a link of another user's";
    }
    ASSERT_EQ(::lchown((dir / "modem").c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(ResolveTrustedLinks((dir / "relative").string(), reason), "");
    EXPECT_NE(reason.find("is a link made by another user (65534)"), std::string::npos) << reason;
    const auto opened = OpenHeldDevice(Device((dir / "modem").string(), true));
    EXPECT_FALSE(opened.fd.Valid());
    EXPECT_EQ(opened.error, ERROR_ACCESS_DENIED);
}

// Anyone may write in the lock folder: what lies there is no reason to wait, follow a link or
// leave a modem unguarded.
TEST(UucpLockFile, PlantedLocksNeitherBlockNorMisleadTheDriver) {
    test::TempDir locks;
    StandIn standIn;
    if (standIn.slave.empty()) {
        GTEST_SKIP() << "this machine has no pseudo-terminals";
    }
    const auto lockPath = locks / UucpLock::LockFileName(standIn.slave);
    Win32Error error = ERROR_SUCCESS;

    // A FIFO: opening it to read would wait for a writer for ever.
    ASSERT_EQ(::mkfifo(lockPath.c_str(), 0666), 0);
    EXPECT_TRUE(UucpLock::Acquire(standIn.slave, locks.Path(), error)) << error;

    // A link to a file of someone else's: neither read nor removed through the link.
    test::WriteFile(locks / "victim", std::to_string(::getppid()) + "\n");
    fs::create_symlink(locks / "victim", lockPath);
    EXPECT_TRUE(UucpLock::Acquire(standIn.slave, locks.Path(), error)) << error;
    EXPECT_EQ(test::ReadFile(locks / "victim"), std::to_string(::getppid()) + "\n");

    // A live process that does not hold the device (PID 1, the test's parent) does not lock it.
    test::WriteFile(lockPath, std::to_string(::getppid()) + "\n");
    EXPECT_TRUE(UucpLock::Acquire(standIn.slave, locks.Path(), error)) << error;

    // One that holds it open does.
    const pid_t holder = HoldOpen(standIn.slave);
    ASSERT_GT(holder, 0);
    test::WriteFile(lockPath, std::to_string(holder) + "\n");
    pid_t named = 0;
    EXPECT_FALSE(UucpLock::Acquire(standIn.slave, locks.Path(), error, &named));
    EXPECT_EQ(error, ERROR_BUSY);
    EXPECT_EQ(named, holder);
    EXPECT_EQ(
        UucpLock::DescribeProcess(holder).rfind("process " + std::to_string(holder) + " (", 0), 0u);
    End(holder);
}
