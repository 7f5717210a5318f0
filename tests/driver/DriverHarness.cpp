#include "tests/driver/DriverHarness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/SocketDevice.h"
#include "platform/SystemRoot.h"

namespace kestrine::test {

using namespace kestrine::monitor;
using namespace kestrine::platform;

std::filesystem::path DriverExecutable() {
    return QDDRIVER_PATH;
}

DriverProcess::DriverProcess(
    std::vector<std::string> ports,
    const std::function<void(const std::filesystem::path& root)>& prepare) {
    if (prepare) {
        prepare(Root());
    }
    std::filesystem::create_directories(JournalPath().parent_path());
    const int journal =
        ::open(JournalPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (journal < 0) {
        ADD_FAILURE() << "cannot make " << JournalPath();
        return;
    }
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe";
        return;
    }
    std::vector<std::string> args = {DriverExecutable().string(), "--root", Root().string(),
                                     "--ready-fd", "3"};
    for (const auto& port : ports) {
        if (!port.starts_with("--")) {
            args.push_back("--port");
        }
        args.push_back(port);
    }
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(journal, STDERR_FILENO);  // first: the journal may be descriptor 3
        if (ready[1] == 3) {
            ::fcntl(3, F_SETFD, 0);
        } else {
            ::dup2(ready[1], 3);  // the copy is not closed on exec
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(ready[1]);
    ::close(journal);
    pollfd pfd{ready[0], POLLIN, 0};
    char byte = 0;
    const bool up = ::poll(&pfd, 1, 20000) == 1 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    pid_ = pid;
    if (!up) {
        Stop(SIGKILL);
        ADD_FAILURE() << "qddriver did not become ready";
    }
}

DriverProcess::~DriverProcess() {
    if (pid_ > 0) {
        Stop(SIGTERM);
    }
}

std::optional<std::string> DriverProcess::AwaitJournal(const std::string& text,
                                                       std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::string journal = ReadFile(JournalPath());
        if (journal.find(text) != std::string::npos) {
            return journal;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ADD_FAILURE() << "the journal never said \"" << text << "\":\n" << journal;
            return std::nullopt;
        }
        std::this_thread::sleep_for(5ms);
    }
}

int DriverProcess::Stop(int signal) {
    if (pid_ <= 0) {
        return -1;
    }
    ::kill(pid_, signal);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return status;
        }
        std::this_thread::sleep_for(5ms);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
}

std::shared_ptr<Device> OpenDriver() {
    auto opened = OpenDevice(kDevicePath);
    EXPECT_EQ(opened.error, ERROR_SUCCESS);
    return opened.device;
}

PortId Attach(Device& device, int com) {
    const auto name = PortNameBuffer(com);
    std::vector<std::uint8_t> out(4);
    const auto result = device.Control(IOCTL_MONITOR_ATTACH_PORT, name, out);
    EXPECT_TRUE(result.Succeeded()) << "attach COM" << com << " failed with " << result.error;
    return GetU32(out, 0);
}

bool Detach(Device& device, PortId id) {
    std::vector<std::uint8_t> in(4);
    PutU32(in, 0, id);
    return device.Control(IOCTL_MONITOR_DETACH_PORT, in, {}).Succeeded();
}

void SetAllowList(Device& device, const std::vector<std::string>& numbers) {
    const auto buffer = BuildAllowListBuffer(numbers);
    EXPECT_TRUE(device.Control(IOCTL_MONITOR_SET_ALLOWLIST, buffer, {}).Succeeded());
}

std::optional<std::vector<std::uint8_t>> NextEvent(Device& device, PortId id,
                                                   std::chrono::milliseconds timeout) {
    std::vector<std::uint8_t> in(4);
    PutU32(in, 0, id);
    Overlapped overlapped(Event::CreateManualReset());
    std::vector<std::uint8_t> size(4);
    auto result = device.ControlOverlapped(IOCTL_MONITOR_WAIT_EVENT, in, size, overlapped);
    if (result.status == IoStatus::Pending) {
        const Event events[] = {overlapped.GetEvent()};
        if (WaitForAny(events, static_cast<std::uint32_t>(timeout.count())) != WAIT_OBJECT_0) {
            return std::nullopt;
        }
        result = device.GetOverlappedResult(overlapped, size);
    }
    if (!result.Succeeded()) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> record(GetU32(size, 0));
    result = device.Control(IOCTL_MONITOR_READ_EVENT, in, record);
    if (!result.Succeeded() || result.bytesReturned != record.size()) {
        ADD_FAILURE() << "read did not return the announced record";
        return std::nullopt;
    }
    return record;
}

std::string Describe(const std::vector<std::uint8_t>& record) {
    const auto view = DecodeMonitorEvent(record);
    if (!view) {
        return "malformed";
    }
    switch (view->type) {
        case PortOpened:
            return "opened";
        case PortClosed:
            return "closed";
        case PortFlushed:
            return "flushed";
        case PortRead:
            return "read:" + view->data;
        case PortWrite:
            return "write:" + view->data;
        case BaudRateSet:
            return "baud:" + std::to_string(view->baudRate);
        case LineControlSet:
            return "line:" + std::to_string(view->stopBits) + "," + std::to_string(view->parity) +
                   "," + std::to_string(view->wordLength);
        case NumberBlocked:
            return "blocked:" + view->data;
        default:
            return "type" + std::to_string(view->type);
    }
}

std::vector<std::string> EventsUntil(Device& device, PortId id, const std::string& last,
                                     std::chrono::milliseconds timeout) {
    std::vector<std::string> events;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return events;
        }
        const auto record = NextEvent(device, id, left);
        if (!record) {
            return events;
        }
        std::string text = Describe(*record);
        const auto kind = text.substr(0, text.find(':') + 1);
        if ((kind == "read:" || kind == "write:") && !events.empty() &&
            events.back().rfind(kind, 0) == 0) {
            events.back() += text.substr(kind.size());
        } else {
            events.push_back(std::move(text));
        }
        if (events.back() == last) {
            return events;
        }
    }
}

void AttachedDriverTest::StartAttached(const std::vector<std::string>& allowed) {
    driver_ = std::make_unique<DriverProcess>();
    ASSERT_TRUE(driver_->Ready());
    device_ = OpenDriver();
    ASSERT_TRUE(device_);
    id_ = Attach(*device_, 1);
    SetAllowList(*device_, allowed);
}

bool HavePtys() {
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

OpenPort::OpenPort(const std::filesystem::path& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
        ADD_FAILURE() << "cannot open " << path << ": " << std::strerror(errno);
        return;
    }
    termios t{};
    ::tcgetattr(fd_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd_, TCSANOW, &t);
}

OpenPort::~OpenPort() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void OpenPort::Write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ASSERT_GT(n, 0) << std::strerror(errno);
        done += static_cast<std::size_t>(n);
    }
}

std::string OpenPort::ReadUntil(const std::string& expected, std::chrono::milliseconds timeout) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.find(expected) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[4096];
        const auto n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

std::string OpenPort::ReadUntilQuiet(std::chrono::milliseconds quiet) {
    std::string got;
    pollfd pfd{fd_, POLLIN, 0};
    while (::poll(&pfd, 1, static_cast<int>(quiet.count())) > 0) {
        char buffer[4096];
        const auto n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

}  // namespace kestrine::test
