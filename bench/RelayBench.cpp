// Relay throughput of an interposed port with monitoring on, against socat relaying between two
// pseudo-terminals in the same run; before it, the daemon's memory while 16 ports are flooded.
//
// The interposed path: the benchmark writes to the published COM2, qddriver relays it (in data
// mode, after a CONNECT) to the port's serial device, which is a pseudo-terminal whose other end
// the benchmark reads; every port's events are read by a client as the application would.
#include <algorithm>
#include <cstring>

#include "bench/RelayBench.h"
#include "bench/Runs.h"
#include "tests/support/ModemStandIn.h"

using namespace kestrine::bench;

namespace {

constexpr std::size_t kBytes = std::size_t{64} << 20;
constexpr std::size_t kChunk = 64 * 1024;

std::vector<char> Pattern() {
    std::vector<char> data(kChunk);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>('a' + i % 26);  // no escape characters, no line ends
    }
    return data;
}

// Seconds to push kBytes in at `in` and take them all out at `out`.
double Transfer(int in, int out) {
    const auto data = Pattern();
    const auto start = Clock::now();
    std::thread writer([&] {
        for (std::size_t sent = 0; sent < kBytes; sent += kChunk) {
            WriteAll(in, data.data(), kChunk);
        }
    });
    std::vector<char> buffer(kChunk);
    std::size_t received = 0;
    while (received < kBytes) {
        pollfd pfd{out, POLLIN, 0};
        if (::poll(&pfd, 1, 10000) <= 0) {
            Fail("relay stalled after " + std::to_string(received) + " bytes");
        }
        const auto n = ::read(out, buffer.data(), buffer.size());
        if (n <= 0) {
            Fail("relay read");
        }
        received += static_cast<std::size_t>(n);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    writer.join();
    return seconds;
}

double SocatSeconds() {
    char pattern[] = "/tmp/kestrine-socat-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        Fail("mkdtemp");
    }
    const std::filesystem::path dir = pattern;
    const std::string a = "PTY,link=" + (dir / "a").string() + ",rawer";
    const std::string b = "PTY,link=" + (dir / "b").string() + ",rawer";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execlp("socat", "socat", "-b", "65536", a.c_str(), b.c_str(),
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!(std::filesystem::exists(dir / "a") && std::filesystem::exists(dir / "b"))) {
        if (Clock::now() > deadline) {
            Fail("socat did not start (is it installed? scripts/install-deps)");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const int in = OpenRaw(dir / "a");
    const int out = OpenRaw(dir / "b");
    const double seconds = Transfer(in, out);
    ::close(in);
    ::close(out);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    std::filesystem::remove_all(dir);
    return seconds;
}

struct Pty {
    int master;
    std::string slave;
};

Pty MakePty() {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        Fail("no pseudo-terminals");
    }
    return {master, ::ptsname(master)};
}

void Flood(int seconds) {
    BenchDriver driver([] {
        std::vector<std::string> ports;
        for (int com = 1; com <= 16; ++com) {
            ports.push_back("COM" + std::to_string(com) + "=modem");
        }
        return ports;
    }());
    driver.SetAllowList({"0123456"});
    std::vector<int> programs;
    for (int com = 1; com <= 16; ++com) {
        if (com % 2 == 1) {
            driver.AttachAndDrain(com);  // half the ports are read, half left to fill their queues
        } else {
            std::vector<std::uint8_t> id(4);
            driver.Device().Control(kestrine::monitor::IOCTL_MONITOR_ATTACH_PORT,
                                    kestrine::monitor::PortNameBuffer(com), id);
        }
        const int fd = OpenRaw(driver.Port(com));
        WriteAll(fd, "ATDT0123456\r", 12);
        ReadUntil(fd, "CONNECT");
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        programs.push_back(fd);
    }
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> moved{0};
    std::vector<std::thread> threads;
    for (const int fd : programs) {
        threads.emplace_back([fd, &stop, &moved] {
            const auto data = Pattern();
            std::vector<char> buffer(kChunk);
            while (!stop) {
                pollfd pfd{fd, POLLIN | POLLOUT, 0};
                if (::poll(&pfd, 1, 100) <= 0) {
                    continue;
                }
                if ((pfd.revents & POLLOUT) != 0) {
                    if (::write(fd, data.data(), data.size()) < 0 && errno != EAGAIN) {
                        return;
                    }
                }
                if ((pfd.revents & POLLIN) != 0) {
                    const auto n = ::read(fd, buffer.data(), buffer.size());
                    if (n > 0) {
                        moved += static_cast<std::uint64_t>(n);
                    }
                }
            }
        });
    }
    long peak = 0;
    const auto start = Clock::now();
    auto report = start + std::chrono::seconds(10);
    while (Clock::now() < start + std::chrono::seconds(seconds)) {
        peak = std::max(peak, driver.RssKib());
        if (Clock::now() >= report) {
            std::printf("flood: resident %ld KiB after %lld s\n", driver.RssKib(),
                        static_cast<long long>(
                            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start)
                                .count()));
            report += std::chrono::seconds(10);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    stop = true;
    for (auto& thread : threads) {
        thread.join();
    }
    for (const int fd : programs) {
        ::close(fd);
    }
    std::printf(
        "flood: 16 ports for %d s, %.1f MiB echoed back to the programs, %llu events read\n",
        seconds, static_cast<double>(moved) / (1 << 20),
        static_cast<unsigned long long>(driver.EventsRead()));
    std::printf("flood-rss peak-kib %ld (target: under 16384)\n", peak);
}

}  // namespace

int main() {
    const char* floodSeconds = std::getenv("KESTRINE_BENCH_FLOOD_SECONDS");
    Flood(floodSeconds != nullptr ? std::atoi(floodSeconds) : 60);

    const Pty device = MakePty();
    BenchDriver driver({"COM2=" + device.slave, "--any-tty"});
    driver.AttachAndDrain(2);
    driver.SetAllowList({"0123456"});
    // The "modem" is the benchmark at the device's far end: it answers the dial blocker's
    // configuration, then the dial.
    if (!kestrine::test::AnswerModemConfiguration(device.master)) {
        std::fprintf(stderr, "the driver did not configure the device's modem\n");
        return 1;
    }
    const int program = OpenRaw(driver.Port(2));
    // Dial through to data mode.
    // Opening the port has the blocker configure the modem again before it sends the dial.
    WriteAll(program, "ATD0123456\r", 11);
    if (!kestrine::test::AnswerModemUntil(device.master, "0123456")) {  // sent as ATDT0123456
        std::fprintf(stderr, "the dial did not reach the device's modem\n");
        return 1;
    }
    WriteAll(device.master, "\r\nCONNECT 115200\r\n", 18);
    ReadUntil(program, "CONNECT 115200\r\n");

    const double mib = static_cast<double>(kBytes) / (1 << 20);
    Runs socat;
    Runs ours;
    for (int round = 0; round < 3; ++round) {
        socat.Add(mib / SocatSeconds());
        ours.Add(mib / Transfer(program, device.master));
    }
    std::printf("%.0f MiB each run, alternating\n", mib);
    socat.Print("socat -b 65536, PTY to PTY:", "MiB/s");
    ours.Print("qddriver, COM2 to its device:", "MiB/s");
    ::close(program);
    std::printf("relay-vs-socat ratio %.2f\n", ours.Median() / socat.Median());
    return 0;
}
