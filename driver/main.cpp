// qddriver: the monitoring driver of the Kestrine system on Linux. Runs in the foreground until
// SIGTERM, SIGINT or SIGHUP, after which the published ports and the device socket are gone.
#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "driver/DeviceServer.h"
#include "driver/Driver.h"
#include "driver/EventLoop.h"
#include "driver/PortGuard.h"
#include "driver/PortMap.h"
#include "driver/RefusalJournal.h"
#include "driver/RootLock.h"
#include "driver/ServiceLog.h"
#include "driver/StoreWatch.h"
#include "monitor/MonitorContract.h"
#include "platform/SystemRoot.h"

using namespace kestrine;

namespace {

// How often a mapped port that could not be served is tried again.
constexpr auto kRetryServing = std::chrono::seconds(5);

// The ready pipe the service layer hands a driver it starts; anything but an inherited pipe is
// left alone.
int InheritedReadyFd() {
    const char* text = std::getenv(platform::kDriverReadyVariable);
    if (text == nullptr) {
        return -1;
    }
    char* end = nullptr;
    const long fd = std::strtol(text, &end, 10);
    const bool number = end != text && *end == '\0' && fd > 2 && fd <= 65535;
    ::unsetenv(platform::kDriverReadyVariable);
    struct stat st {};
    if (!number || ::fstat(static_cast<int>(fd), &st) != 0 || !S_ISFIFO(st.st_mode)) {
        return -1;
    }
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(fd);
}

void Usage(std::FILE* out) {
    std::fputs(
        "usage: qddriver [--root DIR] [--port COMn=modem|COMn=/dev/DEVICE]... [--any-tty]\n"
        "                [--ready-fd N]\n"
        "       qddriver --help | --version\n"
        "\n"
        "Serves the device \\\\.\\QDDRIVER on $KESTRINE_ROOT/device/QDDRIVER.sock, and from its\n"
        "start every mapped port at $KESTRINE_ROOT/dev/COMn, refusing dials of numbers the\n"
        "settings store does not allow (re-read whenever it changes).\n"
        "  --root DIR     the system root (default: $KESTRINE_ROOT, else /var/lib/kestrine)\n"
        "  --port A=B     serve COM port A (COM1..COM16) by B: 'modem', the built-in virtual\n"
        "                 modem, or a serial device; repeatable; overrides the stored port\n"
        "                 map (drivers/QDDRIVER.ports, written by kestrine-setup)\n"
        "  --any-tty      the --port devices may be any terminal, not only serial ports\n"
        "  --ready-fd N   write one byte to file descriptor N once requests are accepted\n"
        "  -h, --help     show this help and exit\n"
        "      --version  show the version and exit\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    // Started detached, the driver may have no standard streams; keep 0-2 taken so that no port
    // or socket of its own becomes "standard error" for a stray message.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0) {
            ::open("/dev/null", O_RDWR);
        }
    }
    driver::PortMap ports;
    bool anyTty = false;
    int readyFd = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "qddriver: %s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--root") {
            ::setenv(platform::kSystemRootVariable, value().c_str(), 1);
        } else if (arg == "--port") {
            std::string error;
            if (!driver::AddPortAssignment(value(), ports, error)) {
                std::fprintf(stderr, "qddriver: %s\n", error.c_str());
                return 2;
            }
        } else if (arg == "--any-tty") {
            anyTty = true;
        } else if (arg == "--ready-fd") {
            const std::string text = value();
            char* end = nullptr;
            const long fd = std::strtol(text.c_str(), &end, 10);
            if (end == text.c_str() || *end != '\0' || fd < 0 || fd > 65535) {
                std::fprintf(stderr, "qddriver: not a file descriptor: %s\n", text.c_str());
                return 2;
            }
            readyFd = static_cast<int>(fd);
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("qddriver %s\n", KESTRINE_VERSION);
            return 0;
        } else {
            Usage(stderr);
            return 2;
        }
    }

    for (auto& [com, backend] : ports) {
        backend.anyTty = anyTty;
    }

    // First, while the driver is one thread with nothing open yet: the root's lock (one driver
    // per system root, RootLock.h), then the guard that takes the published ports down should
    // the driver die without doing it, and which holds the lock until it has.
    std::string lockError;
    const driver::UniqueFd rootLock = driver::TakeRootLock(platform::SystemRoot(), lockError);
    if (!rootLock.Valid()) {
        std::fprintf(stderr, "qddriver: %s\n", lockError.c_str());
        return 1;
    }
    const auto guard = driver::PortGuard::Start(rootLock.Get());
    // Refusals are journaled before they are answered; what a killed driver left undone is
    // handed to the next port attached. Beside the lock, in the driver's own folder; it outlives
    // every port.
    std::string journalError;
    const auto journal = driver::RefusalJournal::Open(
        platform::DeviceSocketPath(monitor::kServiceName).parent_path() / "QDDRIVER.refusals",
        journalError);
    if (!journal) {
        std::fprintf(stderr, "qddriver: %s\n", journalError.c_str());
    }
    driver::RefusalJournal::SetCurrent(journal.get());

    ::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    driver::UniqueFd signals(::signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC));

    try {
        driver::EventLoop loop;
        loop.Add(signals.Get(), EPOLLIN, [&](std::uint32_t) { loop.Stop(); });

        // In the installed layout the members of group kestrine may talk to the driver too.
        driver::DeviceServer server(loop, platform::DeviceSocketPath(monitor::kServiceName),
                                    platform::AccessGroup());
        // The stored port map, read afresh at every attach; --port assignments override it.
        driver::StoredPortMap registryPorts;
        auto portMap = [&ports, &registryPorts] {
            auto map = registryPorts.Read();
            for (const auto& [com, backend] : ports) {
                map[com] = backend;
            }
            return map;
        };
        driver::Driver driver(
            loop, portMap, platform::SystemRoot() / "dev",
            [&](driver::ClientId client, const platform::protocol::Answer& answer) {
                server.Send(client, answer);
            });
        server.SetDriver(&driver);
        driver.SetPortGuard(guard.get());
        // The stored allowed list from the start, and whenever the store changes.
        driver::StoreWatch store(
            loop, platform::RegistryDatabasePath(),
            [&driver](const std::vector<std::string>& numbers) { driver.ReplaceAllowed(numbers); });
        std::string error;
        if (!server.Listen(error)) {
            std::fprintf(stderr, "qddriver: %s\n", error.c_str());
            return 1;
        }
        // Links left by a driver that was killed lead to pseudo-terminals that may belong to
        // someone else by now. With the root's lock held, every link there is such a one.
        for (int com = 1; com <= driver::kMaxComPort; ++com) {
            std::error_code ec;
            const auto port = platform::PublishedPortPath(com);
            if (std::filesystem::is_symlink(std::filesystem::symlink_status(port, ec))) {
                std::filesystem::remove(port, ec);
            }
        }
        // Every mapped port is served from now on, with or without an application; one that
        // cannot be served yet (its device missing or held) is tried again every few seconds.
        std::optional<driver::EventLoop::Clock::time_point> retryAt;
        if (!driver.ServeMapped()) {
            retryAt = driver::EventLoop::Clock::now() + kRetryServing;
        }
        const auto retry =
            loop.AddTimer([&retryAt] { return retryAt; },
                          [&] {
                              retryAt.reset();
                              if (!driver.ServeMapped()) {
                                  retryAt = driver::EventLoop::Clock::now() + kRetryServing;
                              }
                          });
        driver::Say(driver::Priority::Notice,
                    "started (version " KESTRINE_VERSION ", system root " +
                        platform::SystemRoot().string() +
                        "): " + std::to_string(driver.ServedPorts()) + " ports served, " +
                        std::to_string(driver.Allowed().Size()) + " numbers allowed");
        if (readyFd < 0) {
            readyFd = InheritedReadyFd();
        }
        if (readyFd >= 0) {
            const char ready = 1;
            while (::write(readyFd, &ready, 1) < 0 && errno == EINTR) {
            }
            ::close(readyFd);
        }
        while (!loop.Stopped()) {
            loop.RunOnce();
            server.Reap();
        }
        loop.RemoveTimer(retry);
        server.SetDriver(nullptr);
        driver::Say(driver::Priority::Notice, "stopping: the published ports go");
    } catch (const std::exception& e) {
        driver::Say(driver::Priority::Error, std::string("stopped by a fault: ") + e.what());
        return 1;
    }
    return 0;
}
