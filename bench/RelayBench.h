#pragma once
// Shared by the driver benchmarks: a qddriver in a private root, attached ports whose events are
// read as fast as the application would read them, and pseudo-terminal plumbing.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "monitor/MonitorContract.h"
#include "platform/SocketDevice.h"

namespace kestrine::bench {

using Clock = std::chrono::steady_clock;

[[noreturn]] inline void Fail(const std::string& what) {
    std::fprintf(stderr, "benchmark failed: %s\n", what.c_str());
    std::exit(1);
}

// A private root holding a running qddriver.
class BenchDriver {
public:
    explicit BenchDriver(const std::vector<std::string>& ports) {
        char pattern[] = "/tmp/kestrine-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            Fail("mkdtemp");
        }
        root_ = pattern;
        ::setenv("KESTRINE_ROOT", root_.c_str(), 1);
        int ready[2];
        if (::pipe(ready) != 0) {
            Fail("pipe");
        }
        std::vector<std::string> args = {QDDRIVER_PATH, "--ready-fd", std::to_string(ready[1])};
        for (const auto& port : ports) {
            if (!port.starts_with("--")) {
                args.push_back("--port");
            }
            args.push_back(port);
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            // Its journal lines (a line per refusal) would bury the figures.
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            std::vector<char*> argv;
            for (auto& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(ready[1]);
        char byte;
        pollfd pfd{ready[0], POLLIN, 0};
        if (::poll(&pfd, 1, 20000) != 1 || ::read(ready[0], &byte, 1) != 1) {
            Fail("qddriver did not start");
        }
        ::close(ready[0]);
        auto opened = platform::OpenDevice(monitor::kDevicePath);
        if (!opened.device) {
            Fail("cannot open the device");
        }
        device_ = opened.device;
    }
    ~BenchDriver() {
        stop_ = true;
        device_->Close();
        for (auto& thread : drains_) {
            thread.join();
        }
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    std::filesystem::path Port(int com) const {
        return root_ / "dev" / ("COM" + std::to_string(com));
    }
    pid_t Pid() const { return pid_; }
    platform::Device& Device() { return *device_; }

    // Attaches COM n and reads its events on a thread of its own until the end.
    void AttachAndDrain(int com) {
        std::vector<std::uint8_t> id(4);
        if (!device_->Control(monitor::IOCTL_MONITOR_ATTACH_PORT, monitor::PortNameBuffer(com), id)
                 .Succeeded()) {
            Fail("attach COM" + std::to_string(com));
        }
        drains_.emplace_back([this, id] {
            platform::Overlapped overlapped(platform::Event::CreateManualReset());
            std::vector<std::uint8_t> size(4);
            while (!stop_) {
                auto result = device_->ControlOverlapped(monitor::IOCTL_MONITOR_WAIT_EVENT, id,
                                                         size, overlapped);
                if (result.status == platform::IoStatus::Pending) {
                    const platform::Event events[] = {overlapped.GetEvent()};
                    platform::WaitForAny(events);
                    result = device_->GetOverlappedResult(overlapped, size);
                }
                if (!result.Succeeded()) {
                    return;
                }
                std::vector<std::uint8_t> record(monitor::GetU32(size, 0));
                if (!device_->Control(monitor::IOCTL_MONITOR_READ_EVENT, id, record).Succeeded()) {
                    return;
                }
                if (record.size() > monitor::kEventTypeOffset &&
                    record[monitor::kEventTypeOffset] == monitor::NumberBlocked) {
                    ++blocked_;
                }
                ++events_;
            }
        });
    }
    void SetAllowList(const std::vector<std::string>& numbers) {
        if (!device_
                 ->Control(monitor::IOCTL_MONITOR_SET_ALLOWLIST,
                           monitor::BuildAllowListBuffer(numbers), {})
                 .Succeeded()) {
            Fail("set allow list");
        }
    }
    std::uint64_t EventsRead() const { return events_; }
    std::uint64_t BlockedRead() const { return blocked_; }

    // The daemon's resident set size in KiB.
    long RssKib() const {
        FILE* status = std::fopen(("/proc/" + std::to_string(pid_) + "/status").c_str(), "r");
        long kib = -1;
        char line[256];
        while (status != nullptr && std::fgets(line, sizeof line, status) != nullptr) {
            if (std::sscanf(line, "VmRSS: %ld", &kib) == 1) {
                break;
            }
        }
        if (status != nullptr) {
            std::fclose(status);
        }
        return kib;
    }

private:
    std::filesystem::path root_;
    pid_t pid_ = -1;
    std::shared_ptr<platform::Device> device_;
    std::vector<std::thread> drains_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> events_{0};
    std::atomic<std::uint64_t> blocked_{0};
};

inline int OpenRaw(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        Fail("open " + path.string());
    }
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    return fd;
}

inline void WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const auto n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            Fail("write");
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// Reads until `expected` has come; fails the benchmark after 10 s.
inline std::string ReadUntil(int fd, const std::string& expected) {
    std::string got;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (got.find(expected) == std::string::npos) {
        if (Clock::now() > deadline) {
            Fail("timed out waiting for " + expected);
        }
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 100) <= 0) {
            continue;
        }
        char buffer[4096];
        const auto n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            Fail("read");
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

}  // namespace kestrine::bench
