// Who may use what the driver holds: the device's socket (root, the driver's user, members of its
// access group) and a real serial device (the driver alone: UUCP lock file and TIOCEXCL).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "driver/DeviceHold.h"
#include "driver/DeviceServer.h"
#include "driver/EventLoop.h"
#include "driver/UniqueFd.h"
#include "monitor/MonitorContract.h"
#include "platform/SocketDevice.h"
#include "platform/SystemRoot.h"
#include "tests/support/PrivateRoot.h"
#include "tests/support/TempDir.h"

using namespace kestrine;
using namespace kestrine::driver;
using namespace kestrine::platform;
namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kGroup = 4242;

// Runs `child` in a forked process as user nobody with `groups` (as root only); its exit code.
template <typename Serve>
int AsNobody(gid_t primary, const std::vector<gid_t>& groups, const std::function<int()>& child,
             Serve serve) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(primary) != 0 ||
            ::setuid(kNobody) != 0) {
            ::_exit(99);
        }
        ::_exit(child());
    }
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        serve();
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A process ID that named a process a moment ago and names none now.
pid_t DeadPid() {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(0);
    }
    ::waitpid(pid, nullptr, 0);
    return pid;
}

void WriteLock(const fs::path& path, const std::string& content) {
    test::WriteFile(path, content);
}

}  // namespace

TEST(DriverAccess, RootTheDriversUserAndMembersOfItsGroupMayConnect) {
    const struct {
        const char* who;
        PeerCredentials peer;
        std::optional<gid_t> group;
        bool may;
    } cases[] = {
        {"root", {0, 0, {}}, std::nullopt, true},
        {"the driver's user", {1000, 100, {}}, std::nullopt, true},
        {"a member by supplementary group", {1001, 100, {20, kGroup}}, kGroup, true},
        {"a member by primary group", {1001, kGroup, {}}, kGroup, true},
        {"someone else", {1001, 100, {20, 24}}, kGroup, false},
        {"a would-be member without an access group",
         {1001, kGroup, {kGroup}},
         std::nullopt,
         false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PeerMayConnect(c.peer, 1000, c.group), c.may) << c.who;
    }
}

TEST(DriverAccess, PeerCredentialsCarryTheSupplementaryGroups) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    UniqueFd a(pair[0]), b(pair[1]);
    const auto peer = ReadPeerCredentials(a.Get());
    ASSERT_TRUE(peer);
    EXPECT_EQ(peer->uid, ::geteuid());
    EXPECT_EQ(peer->gid, ::getegid());
    std::vector<gid_t> mine(static_cast<std::size_t>(::getgroups(0, nullptr)));
    mine.resize(static_cast<std::size_t>(::getgroups(static_cast<int>(mine.size()), mine.data())));
    auto theirs = peer->groups;
    std::sort(mine.begin(), mine.end());
    std::sort(theirs.begin(), theirs.end());
    EXPECT_EQ(theirs, mine);
}

TEST(DriverAccess, TheSocketIsTheGroupsAndEachConnectionIsCheckedAgain) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as other users";
    }
    test::PrivateRoot root;
    EventLoop loop;
    DeviceServer server(loop, DeviceSocketPath("QDDRIVER"), kGroup);
    std::string error;
    ASSERT_TRUE(server.Listen(error)) << error;
    struct stat st {};
    ASSERT_EQ(::stat(DeviceSocketPath("QDDRIVER").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);
    EXPECT_EQ(st.st_gid, kGroup);
    fs::permissions(root.Path(), fs::perms::all, fs::perm_options::add);

    auto open = [] { return static_cast<int>(OpenDevice(monitor::kDevicePath).error); };
    auto serve = [&] {
        loop.RunOnce(20);
        server.Reap();
    };
    EXPECT_EQ(AsNobody(kNobody, {20, kGroup}, open, serve), ERROR_SUCCESS) << "a member";
    EXPECT_EQ(AsNobody(kGroup, {}, open, serve), ERROR_SUCCESS) << "primary group";
    EXPECT_EQ(AsNobody(kNobody, {20}, open, serve), ERROR_ACCESS_DENIED) << "not a member";
    // Past the file's mode too (as if the socket were opened up): the driver still refuses.
    ::chmod(DeviceSocketPath("QDDRIVER").c_str(), 0666);
    EXPECT_EQ(AsNobody(kNobody, {20}, open, serve), ERROR_ACCESS_DENIED)
        << "checked per connection";
}

TEST(UucpLockFile, NamesTheDevicesOwnName) {
    test::TempDir dir;
    test::WriteFile(dir / "ttyUSB3", "");
    fs::create_symlink(dir / "ttyUSB3", dir / "usb-Modem_Maker-if00-port0");
    EXPECT_EQ(UucpLock::LockFileName(dir / "usb-Modem_Maker-if00-port0"), "LCK..ttyUSB3");
    EXPECT_EQ(UucpLock::LockFileName("/dev/ttyS9-missing"), "LCK..ttyS9-missing");
}

TEST(UucpLockFile, HeldWhileTakenStaleOnesTakenOverLiveOnesRespected) {
    test::TempDir locks;
    const fs::path device = "/dev/ttyKQ0";
    const auto lockPath = locks / "LCK..ttyKQ0";
    Win32Error error = ERROR_SUCCESS;
    {
        auto lock = UucpLock::Acquire(device, locks.Path(), error);
        ASSERT_TRUE(lock) << error;
        char expected[16];
        std::snprintf(expected, sizeof expected, "%10d\n", static_cast<int>(::getpid()));
        EXPECT_EQ(test::ReadFile(lockPath), expected) << "ten characters and a newline";
        EXPECT_FALSE(UucpLock::Acquire(device, locks.Path(), error));
        EXPECT_EQ(error, ERROR_BUSY) << "one device serves one port at a time";
    }
    EXPECT_FALSE(fs::exists(lockPath)) << "released with the hold";

    for (const std::string& stale :
         {std::to_string(DeadPid()) + "\n", std::string("garbage"), std::string()}) {
        WriteLock(lockPath, stale);
        auto lock = UucpLock::Acquire(device, locks.Path(), error);
        EXPECT_TRUE(lock) << "stale lock '" << stale << "' taken over";
    }

    // A running holder keeps its lock, and its file is left alone.
    const pid_t holder = ::fork();
    if (holder == 0) {
        ::pause();
        ::_exit(0);
    }
    const std::string live = std::to_string(holder) + "\n";
    WriteLock(lockPath, live);
    EXPECT_FALSE(UucpLock::Acquire(device, locks.Path(), error));
    EXPECT_EQ(error, ERROR_BUSY);
    EXPECT_EQ(test::ReadFile(lockPath), live);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);

    EXPECT_FALSE(UucpLock::Acquire(device, locks / "missing", error));
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(std::distance(fs::directory_iterator(locks.Path()), fs::directory_iterator()), 1)
        << "no temporary file left behind";
}

TEST(ExclusiveHold, OnlyRootOpensAHeldTerminalUntilItIsReleased) {
    int master = -1;
    int slave = -1;
    char name[256];
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        GTEST_SKIP() << "this machine has no pseudo-terminals";
    }
    UniqueFd m(master), s(slave);
    ::chmod(name, 0666);
    auto excl = [&] {
        int on = -1;
        ::ioctl(s.Get(), TIOCGEXCL, &on);
        return on;
    };
    // Another user's open, as a dialler would do it (root itself may always open).
    auto otherOpens = [&] {
        return AsNobody(
            kNobody, {},
            [&] {
                const int fd = ::open(name, O_RDWR | O_NOCTTY);
                return fd >= 0 ? 0 : errno;
            },
            [] { ::usleep(1000); });
    };
    ASSERT_TRUE(HoldExclusively(s.Get()));
    EXPECT_EQ(excl(), 1);
    if (::geteuid() == 0) {
        EXPECT_EQ(otherOpens(), EBUSY);
    }
    ReleaseExclusive(s.Get());
    EXPECT_EQ(excl(), 0);
    if (::geteuid() == 0) {
        EXPECT_EQ(otherOpens(), 0);
    }

    test::TempDir dir;
    test::WriteFile(dir / "file", "");
    UniqueFd file(::open((dir / "file").c_str(), O_RDWR));
    EXPECT_FALSE(HoldExclusively(file.Get())) << "not a terminal";
}

// A member of the group who holds every connection it may get, and more: the next one is refused
// as busy, and the application, as another user, still gets its own.
TEST(DriverAccess, OneUsersStrayConnectionsDoNotShutOthersOut) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    test::PrivateRoot root;
    EventLoop loop;
    DeviceServer server(loop, DeviceSocketPath("QDDRIVER"), kGroup);
    std::string error;
    ASSERT_TRUE(server.Listen(error)) << error;
    fs::permissions(root.Path(), fs::perms::all, fs::perm_options::add);

    int report[2];
    int release[2];
    ASSERT_EQ(::pipe(report), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t stray = ::fork();
    if (stray == 0) {
        ::close(report[0]);
        ::close(release[1]);
        if (::setgroups(1, &kGroup) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            ::_exit(99);
        }
        std::vector<DeviceOpenResult> held;
        std::int32_t outcome[2] = {0, 0};  // handles got, then the error of the first refused
        for (std::size_t i = 0; i <= DeviceServer::kMaxClientsPerUser + 8; ++i) {
            held.push_back(OpenDevice(monitor::kDevicePath));
            if (held.back().error != ERROR_SUCCESS) {
                outcome[1] = static_cast<std::int32_t>(held.back().error);
                break;
            }
            ++outcome[0];
        }
        [[maybe_unused]] const auto told = ::write(report[1], outcome, sizeof outcome);
        char done = 0;
        [[maybe_unused]] const auto waited = ::read(release[0], &done, 1);  // holds them till then
        ::_exit(0);
    }
    // Served from a thread started after the fork, so that the child inherits no thread's locks.
    std::atomic<bool> serving{true};
    std::thread driverThread([&] {
        while (serving) {
            loop.RunOnce(20);
            server.Reap();
        }
    });
    ::close(report[1]);
    ::close(release[0]);
    std::int32_t outcome[2] = {-1, -1};
    EXPECT_EQ(::read(report[0], outcome, sizeof outcome), static_cast<ssize_t>(sizeof outcome));
    EXPECT_EQ(outcome[0], static_cast<std::int32_t>(DeviceServer::kMaxClientsPerUser));
    EXPECT_EQ(outcome[1], static_cast<std::int32_t>(ERROR_BUSY));

    const auto application = OpenDevice(monitor::kDevicePath);
    EXPECT_EQ(application.error, ERROR_SUCCESS) << "another user still gets in";

    ::close(release[1]);
    ::close(report[0]);
    ::waitpid(stray, nullptr, 0);
    serving = false;
    driverThread.join();
}
