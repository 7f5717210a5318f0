// The driver's request handling, through the real client against a real qddriver.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "driver/PortMap.h"
#include "platform/DeviceProtocol.h"
#include "platform/Registry.h"
#include "platform/SocketDevice.h"
#include "tests/driver/DriverHarness.h"

using namespace kestrine;
using namespace kestrine::monitor;
using namespace kestrine::platform;
using namespace kestrine::test;

namespace {

std::vector<std::uint8_t> IdBytes(PortId id) {
    std::vector<std::uint8_t> in(4);
    PutU32(in, 0, id);
    return in;
}

// A connection that speaks raw bytes, for what the real client never sends.
class RawConnection {
public:
    explicit RawConnection(const std::filesystem::path& socket) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    }
    ~RawConnection() { ::close(fd_); }
    void Send(const std::vector<std::uint8_t>& bytes) {
        (void)::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    // True when the driver closes the connection (after whatever it still had to say).
    bool ClosedByDriver() {
        timeval tv{10, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buffer[4096];
        for (;;) {
            const auto n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n == 0) {
                return true;
            }
            if (n < 0) {
                return errno == ECONNRESET;
            }
        }
    }

private:
    int fd_ = -1;
};

class DriverRequests : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HavePtys()) {
            GTEST_SKIP() << "this machine has no pseudo-terminals (/dev/ptmx): the driver cannot "
                            "publish ports";
        }
        driver_ = std::make_unique<DriverProcess>(std::vector<std::string>{
            "COM1=modem", "COM3=/dev/kestrine-no-such-device", "COM16=modem"});
        ASSERT_TRUE(driver_->Ready());
        device_ = OpenDriver();
        ASSERT_TRUE(device_);
    }

    std::unique_ptr<DriverProcess> driver_;
    std::shared_ptr<Device> device_;
};

}  // namespace

TEST(DeviceOpen, FailsClearlyWithoutADriverAndForPathsThatAreNoDevice) {
    PrivateRoot root;
    EXPECT_EQ(OpenDevice(kDevicePath).error, ERROR_FILE_NOT_FOUND);
    for (const char* path : {"QDDRIVER", R"(\\.\)", R"(\\.\..\x)", R"(\\.\a/b)"}) {
        EXPECT_EQ(OpenDevice(path).error, ERROR_BAD_PATHNAME) << path;
    }
}

TEST_F(DriverRequests, AttachGivesFreshIdsAndPublishesOnlyServedPorts) {
    EXPECT_TRUE(std::filesystem::is_symlink(driver_->Port(1))) << "served from the start";
    const PortId first = Attach(*device_, 1);
    EXPECT_NE(first, 0u);
    EXPECT_TRUE(std::filesystem::is_symlink(driver_->Port(1)));
    struct stat port {};
    ASSERT_EQ(::stat(driver_->Port(1).c_str(), &port), 0);
    EXPECT_EQ(port.st_mode & 0007, 0u) << "other users' processes cannot open a published port";
    const PortId sixteen = Attach(*device_, 16);
    EXPECT_NE(sixteen, first);

    std::vector<std::uint8_t> out(4);
    struct Case {
        std::vector<std::uint8_t> input;
        Win32Error error;
    };
    const Case refused[] = {
        {PortNameBuffer(1), ERROR_BUSY},             // this client is attached already
        {PortNameBuffer(2), ERROR_FILE_NOT_FOUND},   // no backend
        {PortNameBuffer(3), ERROR_FILE_NOT_FOUND},   // a device that is not there
        {PortNameBuffer(17), ERROR_FILE_NOT_FOUND},  // never served
        {{'C', 0, 'O', 0, 'M', 0, '1', 0, 0, 0}, ERROR_INVALID_PARAMETER},
        {{}, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : refused) {
        const auto result = device_->Control(IOCTL_MONITOR_ATTACH_PORT, c.input, out);
        EXPECT_EQ(result.status, IoStatus::Failed);
        EXPECT_EQ(result.error, c.error);
    }
    EXPECT_FALSE(std::filesystem::exists(driver_->Port(2)));

    ASSERT_TRUE(Detach(*device_, first));
    EXPECT_TRUE(std::filesystem::is_symlink(driver_->Port(1))) << "still served";
    const PortId again = Attach(*device_, 1);
    EXPECT_NE(again, first) << "a PortId is never handed out twice";
    EXPECT_EQ(device_->Control(IOCTL_MONITOR_DETACH_PORT, IdBytes(first), {}).error,
              ERROR_INVALID_HANDLE);
}

// The map is root's (or the driver user's) alone: a map that others may write, or a link in its
// place, is not used at all.
TEST_F(DriverRequests, TheStoredPortMapIsReadAtEveryAttachWhenNobodyElseMayWriteIt) {
    namespace fs = std::filesystem;
    std::vector<std::uint8_t> out(4);
    auto attachError = [&](int com) {
        return device_->Control(IOCTL_MONITOR_ATTACH_PORT, PortNameBuffer(com), out).error;
    };
    EXPECT_EQ(attachError(3), ERROR_FILE_NOT_FOUND);
    {
        // Where the map once was: members of the group write the store, so it is never read.
        RegKey key;
        ASSERT_EQ(Registry(RegistryDatabasePath())
                      .CreateKey(R"(SYSTEM\CurrentControlSet\Services\QDDRIVER\Parameters)",
                                 KEY_ALL_ACCESS, key),
                  ERROR_SUCCESS);
        ASSERT_EQ(key.SetString("COM4", "modem"), ERROR_SUCCESS);
    }
    EXPECT_EQ(attachError(4), ERROR_FILE_NOT_FOUND);
    const auto map = driver::PortMapFilePath();
    fs::create_directories(map.parent_path());
    fs::permissions(map.parent_path(), fs::perms(0755));
    auto store = [&](const std::string& text, fs::perms mode) {
        fs::remove(map);
        std::ofstream(map) << text;
        fs::permissions(map, mode);
    };
    store("com5 modem\nCOM6 modem extra\nCOM17 modem\nCOM7 serial ttyS0\nCOM7\n# COM8 modem\n",
          fs::perms(0644));
    EXPECT_NE(Attach(*device_, 5), 0u);
    for (const int com : {6, 7, 8, 17}) {
        EXPECT_EQ(attachError(com), ERROR_FILE_NOT_FOUND) << "COM" << com;
    }

    store("COM9 modem\n", fs::perms(0664));
    EXPECT_EQ(attachError(9), ERROR_FILE_NOT_FOUND) << "a map the group may write";
    fs::permissions(map, fs::perms(0644));
    fs::permissions(map.parent_path(), fs::perms(0775));
    EXPECT_EQ(attachError(9), ERROR_FILE_NOT_FOUND) << "in a folder the group may write";
    fs::permissions(map.parent_path(), fs::perms(0755));
    EXPECT_NE(Attach(*device_, 9), 0u) << "read afresh at the attach";

    const auto elsewhere = driver_->Root() / "elsewhere.ports";
    std::ofstream(elsewhere) << "COM10 modem\n";
    fs::remove(map);
    fs::create_symlink(elsewhere, map);
    EXPECT_EQ(attachError(10), ERROR_FILE_NOT_FOUND) << "a link is not followed";
}

TEST_F(DriverRequests, BadRequestsGetErrorsAndTheDriverCarriesOn) {
    const PortId id = Attach(*device_, 1);
    std::vector<std::uint8_t> out(4);
    struct Case {
        const char* what;
        std::uint32_t code;
        std::vector<std::uint8_t> input;
        std::size_t outputSize;
        Win32Error error;
    };
    const Case cases[] = {
        {"unknown code", 0x10012018, IdBytes(id), 4, ERROR_INVALID_FUNCTION},
        {"unknown code of another device", 0x00220000, {}, 0, ERROR_INVALID_FUNCTION},
        {"detach with 3 bytes", IOCTL_MONITOR_DETACH_PORT, {1, 2, 3}, 0, ERROR_INVALID_PARAMETER},
        {"wait with 5 bytes",
         IOCTL_MONITOR_WAIT_EVENT,
         {1, 2, 3, 4, 5},
         4,
         ERROR_INVALID_PARAMETER},
        {"wait without room for the size", IOCTL_MONITOR_WAIT_EVENT, IdBytes(id), 2,
         ERROR_INSUFFICIENT_BUFFER},
        {"read of an unknown port", IOCTL_MONITOR_READ_EVENT, IdBytes(id + 1), 24,
         ERROR_INVALID_HANDLE},
        {"allow list without its closing zero",
         IOCTL_MONITOR_SET_ALLOWLIST,
         {1, 0, 0, 0, '1', 0},
         0,
         ERROR_INVALID_PARAMETER},
        {"allow list with another leading value",
         IOCTL_MONITOR_SET_ALLOWLIST,
         {2, 0, 0, 0, 0},
         0,
         ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> output(c.outputSize);
        const auto result = device_->Control(c.code, c.input, output);
        EXPECT_EQ(result.status, IoStatus::Failed) << c.what;
        EXPECT_EQ(result.error, c.error) << c.what;
    }
    // Empty and ordinary lists are taken.
    EXPECT_TRUE(
        device_->Control(IOCTL_MONITOR_SET_ALLOWLIST, BuildAllowListBuffer({}), {}).Succeeded());
    SetAllowList(*device_, {"0123 456", "+44 20"});
    EXPECT_TRUE(Detach(*device_, id));
}

TEST_F(DriverRequests, WaitAnnouncesTheRecordThatReadThenConsumes) {
    const PortId id = Attach(*device_, 1);
    std::vector<std::uint8_t> size(4);
    Overlapped overlapped(Event::CreateManualReset());
    ASSERT_EQ(
        device_->ControlOverlapped(IOCTL_MONITOR_WAIT_EVENT, IdBytes(id), size, overlapped).status,
        IoStatus::Pending)
        << "nothing has happened on the port yet";
    {
        OpenPort program(driver_->Port(1));  // opened, then closed: two events
    }
    const Event events[] = {overlapped.GetEvent()};
    ASSERT_EQ(WaitForAny(events, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(device_->GetOverlappedResult(overlapped, size).Succeeded());
    const std::uint32_t announced = GetU32(size, 0);
    EXPECT_EQ(announced, kEventHeaderSize);

    std::vector<std::uint8_t> small(announced - 1);
    EXPECT_EQ(device_->Control(IOCTL_MONITOR_READ_EVENT, IdBytes(id), small).error,
              ERROR_INSUFFICIENT_BUFFER);
    std::vector<std::uint8_t> record(announced);
    const auto read =
        device_->ControlOverlapped(IOCTL_MONITOR_READ_EVENT, IdBytes(id), record, overlapped);
    ASSERT_EQ(read.status, IoStatus::Completed) << "a read after a wait completes at once";
    EXPECT_EQ(read.bytesReturned, announced);
    EXPECT_EQ(Describe(record), "opened");

    // The next wait completes at once: the close is queued already.
    const auto second =
        device_->ControlOverlapped(IOCTL_MONITOR_WAIT_EVENT, IdBytes(id), size, overlapped);
    if (second.status == IoStatus::Pending) {
        ASSERT_EQ(WaitForAny(events, 10000), WAIT_OBJECT_0);
    }
    const auto record2 = NextEvent(*device_, id);
    ASSERT_TRUE(record2);
    EXPECT_EQ(Describe(*record2), "closed");
}

TEST_F(DriverRequests, ManyThreadsShareOneHandle) {
    const PortId ports[] = {Attach(*device_, 1), Attach(*device_, 16)};
    std::vector<std::string> seen[2];
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&, i] { seen[i] = EventsUntil(*device_, ports[i], "closed", 20s); });
    }
    std::atomic<int> wrong{0};
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < 200; ++n) {
                std::vector<std::uint8_t> out(4);
                const bool good =
                    t == 0
                        ? device_
                              ->Control(
                                  IOCTL_MONITOR_SET_ALLOWLIST,
                                  BuildAllowListBuffer(std::vector<std::string>{std::to_string(n)}),
                                  {})
                              .Succeeded()
                        : device_->Control(0x10012018 + static_cast<std::uint32_t>(t), {}, out)
                                  .error == ERROR_INVALID_FUNCTION;
                wrong += good ? 0 : 1;
            }
        });
    }
    {
        OpenPort one(driver_->Port(1));
        OpenPort sixteen(driver_->Port(16));
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(seen[0], (std::vector<std::string>{"opened", "closed"}));
    EXPECT_EQ(seen[1], (std::vector<std::string>{"opened", "closed"}));
}

TEST_F(DriverRequests, DetachFailsTheWaitOutstandingOnThatPortOnly) {
    const PortId one = Attach(*device_, 1);
    const PortId sixteen = Attach(*device_, 16);
    Overlapped waitOne(Event::CreateManualReset());
    Overlapped waitSixteen(Event::CreateManualReset());
    std::vector<std::uint8_t> size(4);
    ASSERT_EQ(
        device_->ControlOverlapped(IOCTL_MONITOR_WAIT_EVENT, IdBytes(one), size, waitOne).status,
        IoStatus::Pending);
    ASSERT_EQ(
        device_->ControlOverlapped(IOCTL_MONITOR_WAIT_EVENT, IdBytes(sixteen), size, waitSixteen)
            .status,
        IoStatus::Pending);

    ASSERT_TRUE(Detach(*device_, one));
    const Event events[] = {waitOne.GetEvent()};
    ASSERT_EQ(WaitForAny(events, 10000), WAIT_OBJECT_0);
    const auto result = device_->GetOverlappedResult(waitOne, size);
    EXPECT_EQ(result.status, IoStatus::Failed);
    EXPECT_EQ(result.error, ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(waitSixteen.GetEvent().IsSet());
    EXPECT_EQ(
        device_->ControlOverlapped(IOCTL_MONITOR_WAIT_EVENT, IdBytes(one), size, waitOne).error,
        ERROR_INVALID_HANDLE);
}

TEST_F(DriverRequests, ClosingTheHandleFailsWhatIsOutstandingAndLaterRequests) {
    const PortId one = Attach(*device_, 1);
    const PortId sixteen = Attach(*device_, 16);
    Overlapped waits[] = {Overlapped(Event::CreateManualReset()),
                          Overlapped(Event::CreateManualReset())};
    std::vector<std::uint8_t> size(4);
    ASSERT_EQ(
        device_->ControlOverlapped(IOCTL_MONITOR_WAIT_EVENT, IdBytes(one), size, waits[0]).status,
        IoStatus::Pending);
    ASSERT_EQ(device_->ControlOverlapped(IOCTL_MONITOR_WAIT_EVENT, IdBytes(sixteen), size, waits[1])
                  .status,
              IoStatus::Pending);

    device_->Close();
    for (auto& overlapped : waits) {
        EXPECT_TRUE(overlapped.GetEvent().IsSet()) << "a waiting thread wakes";
        EXPECT_EQ(device_->GetOverlappedResult(overlapped, size).error, ERROR_OPERATION_ABORTED);
    }
    EXPECT_EQ(device_->Control(IOCTL_MONITOR_SET_ALLOWLIST, BuildAllowListBuffer({}), {}).error,
              ERROR_INVALID_HANDLE);
    device_->Close();

    // The connection's ports went with it: another client may attach them at once.
    auto other = OpenDriver();
    ASSERT_TRUE(other);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::vector<std::uint8_t> out(4);
    IoResult attached;
    do {
        attached = other->Control(IOCTL_MONITOR_ATTACH_PORT, PortNameBuffer(1), out);
    } while (!attached.Succeeded() && attached.error == ERROR_BUSY &&
             std::chrono::steady_clock::now() < deadline);
    EXPECT_TRUE(attached.Succeeded());
}

TEST_F(DriverRequests, ADriverThatDiesFailsEveryOutstandingRequest) {
    const PortId id = Attach(*device_, 1);
    Overlapped overlapped(Event::CreateManualReset());
    std::vector<std::uint8_t> size(4);
    ASSERT_EQ(
        device_->ControlOverlapped(IOCTL_MONITOR_WAIT_EVENT, IdBytes(id), size, overlapped).status,
        IoStatus::Pending);
    driver_->Stop(SIGKILL);
    const Event events[] = {overlapped.GetEvent()};
    ASSERT_EQ(WaitForAny(events, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(device_->GetOverlappedResult(overlapped, size).error, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(device_->Control(IOCTL_MONITOR_DETACH_PORT, IdBytes(id), {}).error,
              ERROR_DEVICE_NOT_CONNECTED);
}

// A driver that hangs (stopped) fails synchronous requests at their time limit, and at once after
// the first, so that nobody waits on it for ever; once it runs again, its late answer clears that.
TEST_F(DriverRequests, AHungDriverFailsSynchronousRequestsInTimeUntilItAnswersAgain) {
    auto device = OpenDevice(kDevicePath, 300ms).device;
    ASSERT_TRUE(device);
    const PortId id = Attach(*device, 1);
    Overlapped overlapped(Event::CreateManualReset());
    std::vector<std::uint8_t> size(4);
    ASSERT_EQ(
        device->ControlOverlapped(IOCTL_MONITOR_WAIT_EVENT, IdBytes(id), size, overlapped).status,
        IoStatus::Pending);

    ASSERT_EQ(::kill(driver_->Pid(), SIGSTOP), 0);
    const std::vector<std::string> numbers{"0123"};
    const auto list = BuildAllowListBuffer(numbers);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(device->Control(IOCTL_MONITOR_SET_ALLOWLIST, list, {}).error, ERROR_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
    EXPECT_EQ(device->Health(), ERROR_TIMEOUT);
    started = std::chrono::steady_clock::now();
    EXPECT_EQ(device->Control(IOCTL_MONITOR_DETACH_PORT, IdBytes(id), {}).error, ERROR_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 100ms) << "not asked again";
    EXPECT_FALSE(overlapped.GetEvent().IsSet()) << "a monitor thread's wait goes on";

    ASSERT_EQ(::kill(driver_->Pid(), SIGCONT), 0);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (device->Health() != ERROR_SUCCESS && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(device->Health(), ERROR_SUCCESS);
    EXPECT_TRUE(device->Control(IOCTL_MONITOR_SET_ALLOWLIST, list, {}).Succeeded());
    { OpenPort program(driver_->Port(1)); }
    const Event events[] = {overlapped.GetEvent()};
    EXPECT_EQ(WaitForAny(events, 10000), WAIT_OBJECT_0) << "the connection is still sound";
}

TEST_F(DriverRequests, GarbageAndAbandonedRequestsCostOnlyTheirOwnConnection) {
    const PortId id = Attach(*device_, 1);
    {
        RawConnection garbage(driver_->Socket());
        garbage.Send(std::vector<std::uint8_t>(64, 0xEE));
        EXPECT_TRUE(garbage.ClosedByDriver());
    }
    {
        RawConnection wrongVersion(driver_->Socket());
        auto frame = protocol::EncodeRequest(
            {1, IOCTL_MONITOR_SET_ALLOWLIST, false, 0, BuildAllowListBuffer({})});
        frame[4] = 9;
        wrongVersion.Send(frame);
        EXPECT_TRUE(wrongVersion.ClosedByDriver());
    }
    {
        // Half a frame, then gone; and a flood of requests whose answers are never read.
        RawConnection half(driver_->Socket());
        const auto frame =
            protocol::EncodeRequest({1, IOCTL_MONITOR_WAIT_EVENT, true, 4, IdBytes(id)});
        half.Send(std::vector<std::uint8_t>(frame.begin(), frame.begin() + 10));
        RawConnection flood(driver_->Socket());
        std::vector<std::uint8_t> burst;
        for (std::uint32_t i = 1; i <= 2000; ++i) {
            const auto f =
                protocol::EncodeRequest({i, IOCTL_MONITOR_WAIT_EVENT, true, 4, IdBytes(id)});
            burst.insert(burst.end(), f.begin(), f.end());
        }
        flood.Send(burst);
    }
    // The driver still answers, and the port still reports.
    SetAllowList(*device_, {"1"});
    { OpenPort program(driver_->Port(1)); }
    const auto record = NextEvent(*device_, id);
    ASSERT_TRUE(record);
    EXPECT_EQ(Describe(*record), "opened");
}

TEST_F(DriverRequests, OnlyTheDriversOwnUserMayConnect) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    device_->Close();  // no thread of ours may hold a lock across the fork
    // Open the way to the socket, so that the driver's own credential check is what refuses.
    std::filesystem::permissions(driver_->Root(), std::filesystem::perms::all,
                                 std::filesystem::perm_options::add);
    std::filesystem::permissions(driver_->Socket(), std::filesystem::perms::all,
                                 std::filesystem::perm_options::add);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(3);
        }
        ::_exit(OpenDevice(kDevicePath).error == ERROR_ACCESS_DENIED ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST_F(DriverRequests, TerminationRemovesPublishedPortsAndTheSocket) {
    Attach(*device_, 1);
    Attach(*device_, 16);
    ASSERT_TRUE(std::filesystem::is_symlink(driver_->Port(16)));
    const int status = driver_->Stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(driver_->Port(1))));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(driver_->Port(16))));
    EXPECT_FALSE(std::filesystem::exists(driver_->Socket()));
}

// A detach removes the link the driver made, never another of the same text put in its place.
TEST_F(DriverRequests, ADetachRemovesOnlyTheLinkItsPortMade) {
    const auto id = Attach(*device_, 16);
    const auto port = driver_->Port(16);
    const auto target = std::filesystem::read_symlink(port);
    std::filesystem::remove(port);
    std::filesystem::create_symlink(target, port);
    ASSERT_TRUE(Detach(*device_, id));
    EXPECT_TRUE(std::filesystem::is_symlink(port));
}

// One driver per system root: a second one does not start beside a live first, even one whose
// socket is gone, and the guard of a killed driver removes only the links that driver made, not
// links of the same text put in their place (a terminal's number is reused).
TEST_F(DriverRequests, ASecondDriverOfARootNeverRunsAndAGuardRemovesOnlyWhatItsDriverMade) {
    Attach(*device_, 1);
    const auto port1 = driver_->Port(1);
    const auto target = std::filesystem::read_symlink(port1);
    ASSERT_TRUE(std::filesystem::remove(driver_->Socket()));
    const auto second = RunProgram(
        {DriverExecutable().string(), "--root", driver_->Root().string(), "--port", "COM2=modem"},
        {}, 30s);
    EXPECT_EQ(second.exitCode, 1) << second.output;
    EXPECT_NE(second.output.find("another driver already runs"), std::string::npos)
        << second.output;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(driver_->Port(2))));
    EXPECT_TRUE(std::filesystem::is_symlink(port1)) << "the first one's port is untouched";

    // The same text, another link.
    std::filesystem::remove(port1);
    std::filesystem::create_symlink(target, port1);
    driver_->Stop(SIGKILL);
    // The guard holds the root's lock until it is done: once we get it, it is.
    const int lock =
        ::open((driver_->Root() / "device" / "QDDRIVER.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    ::close(lock);
    EXPECT_TRUE(std::filesystem::is_symlink(port1)) << "a link the driver did not make stays";
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(driver_->Port(16))));
}

TEST(DriverStart, RemovesPortLinksLeftByAKilledDriver) {
    if (!HavePtys()) {
        GTEST_SKIP() << "this machine has no pseudo-terminals (/dev/ptmx)";
    }
    PrivateRoot root;
    std::filesystem::create_directories(root / "dev");
    std::filesystem::create_symlink("/dev/pts/0", root / "dev" / "COM4");
    const std::string image = DriverExecutable().string();
    // Built before the fork: the child only execs.
    const std::string variable = "KESTRINE_ROOT=" + root.Path().string();
    const pid_t child = ::fork();
    if (child == 0) {
        char* const argv[] = {const_cast<char*>(image.c_str()), nullptr};
        char* const envp[] = {const_cast<char*>(variable.c_str()), nullptr};
        ::execve(argv[0], argv, envp);
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!OpenDevice(kDevicePath).device && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(root / "dev" / "COM4")));
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
}

TEST(DriverStart, RunsFromTheSystemDirectoryUnderAnotherNameWithOnlyTheRootInItsEnvironment) {
    PrivateRoot root;
    std::filesystem::create_directories(root / "drivers");
    const auto image = root / "drivers" / "QDDRIVER.sys";
    std::filesystem::copy_file(DriverExecutable(), image);
    std::filesystem::permissions(image, std::filesystem::perms::owner_all);
    // Built before the fork: the child only execs.
    const std::string variable = "KESTRINE_ROOT=" + root.Path().string();
    const pid_t child = ::fork();
    if (child == 0) {
        char* const argv[] = {const_cast<char*>(image.c_str()), nullptr};
        char* const envp[] = {const_cast<char*>(variable.c_str()), nullptr};
        ::execve(image.c_str(), argv, envp);
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    DeviceOpenResult opened;
    do {
        opened = OpenDevice(kDevicePath);
        if (opened.device) {
            break;
        }
        std::this_thread::sleep_for(10ms);
    } while (std::chrono::steady_clock::now() < deadline);
    EXPECT_TRUE(opened.device) << "error " << opened.error;
    opened.device.reset();
    ::kill(child, SIGTERM);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(std::filesystem::exists(root / "device" / "QDDRIVER.sock"));
}
