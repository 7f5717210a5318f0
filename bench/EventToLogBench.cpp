// Events per second from the in-memory device through monitor threads, the hand-over to the
// user-interface thread and the log writer into the log file, against a plain loop that opens,
// appends, flushes and closes the same file once per line. Every event is checked afterwards:
// none lost, none duplicated, each port's order kept.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/Runs.h"
#include "log/LogOwner.h"
#include "monitor/MonitorThread.h"
#include "tests/support/FakeMonitorDevice.h"

using namespace kestrine;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kEvents = 48000;

struct NoAlert : monitor::BlockedAlert {
    void ShowBlockedAlert(const std::string&, const std::string&) override {}
};

std::string Payload(int port, int seq) {
    char text[64];
    std::snprintf(text, sizeof text, "ATDT p%02d e%06d", port, seq);
    return text;
}

// Checks that every event of every port is in the file once, in order.
bool Verify(const std::filesystem::path& file, int ports, int perPort) {
    std::ifstream in(file, std::ios::binary);
    std::string line;
    std::map<int, int> next;
    int total = 0;
    while (std::getline(in, line)) {
        const auto at = line.find("WRITE: ATDT p");
        if (at == std::string::npos) {
            continue;
        }
        int port = 0;
        int seq = 0;
        if (std::sscanf(line.c_str() + at, "WRITE: ATDT p%d e%d", &port, &seq) != 2 ||
            next[port] != seq) {
            std::fprintf(stderr, "out of order or duplicated: %s\n", line.c_str());
            return false;
        }
        ++next[port];
        ++total;
    }
    return total == ports * perPort;
}

double MonitoredEventsPerSecond(int ports, const std::filesystem::path& dir) {
    const int perPort = kEvents / ports;
    std::filesystem::remove(dir / "qdlog.log");
    log::LogOwner logOwner(dir);
    logOwner.PrepareLog();
    logOwner.Logfile1.EnableLogging = std::getenv("KESTRINE_BENCH_NO_LOG") == nullptr;
    NoAlert alert;
    monitor::HandOverQueue handOver;
    monitor::MonitorServices services{handOver, logOwner, alert};
    auto device = std::make_shared<test::FakeMonitorDevice>();
    std::vector<std::atomic<monitor::PortId>> ids(static_cast<std::size_t>(ports) + 1);
    std::vector<std::unique_ptr<monitor::TMonitorThread>> threads;
    for (int port = 1; port <= ports; ++port) {
        std::array<std::uint8_t, 4> id{};
        device->Control(monitor::IOCTL_MONITOR_ATTACH_PORT, monitor::PortNameBuffer(port), id);
        ids[static_cast<std::size_t>(port)] = monitor::GetU32(id, 0);
        for (int seq = 0; seq < perPort; ++seq) {
            device->QueueEvent(port,
                               monitor::EncodeDataEvent(monitor::PortWrite, Payload(port, seq)));
        }
    }
    const auto start = Clock::now();
    for (int port = 1; port <= ports; ++port) {
        auto thread = std::make_unique<monitor::TMonitorThread>(
            services, device, ids[static_cast<std::size_t>(port)]);
        thread->Port = port;
        thread->Resume();
        threads.push_back(std::move(thread));
    }
    std::size_t served = 0;
    while (served < static_cast<std::size_t>(ports * perPort)) {
        served += handOver.WaitAndServe(std::chrono::milliseconds(100));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& thread : threads) {
        thread->Terminate();
        thread->SignalStop();
        thread.reset();
    }
    if (std::getenv("KESTRINE_BENCH_NO_LOG") == nullptr &&
        !Verify(dir / "qdlog.log", ports, perPort)) {
        std::fprintf(stderr, "event check failed with %d ports\n", ports);
        std::exit(1);
    }
    return ports * perPort / seconds;
}

double PlainLinesPerSecond(const std::filesystem::path& dir) {
    const auto file = dir / "plain.log";
    std::filesystem::remove(file);
    const auto start = Clock::now();
    for (int i = 0; i < kEvents; ++i) {
        std::FILE* f = std::fopen(file.c_str(), "ab");
        std::fputs(("12/10/26 05:03:09: WRITE: " + Payload(1, i) + "\r\n").c_str(), f);
        std::fflush(f);
        std::fclose(f);
    }
    return kEvents / std::chrono::duration<double>(Clock::now() - start).count();
}

int RunCount() {
    const char* text = std::getenv("KESTRINE_BENCH_RUNS");
    const int runs = text != nullptr ? std::atoi(text) : 0;
    return runs > 0 ? runs : 5;
}

}  // namespace

// `bench_event_to_log N` runs only the monitored path with N ports, over and over (for a
// profiler); without arguments every measurement runs in turn, alternating, RunCount() times.
int main(int argc, char** argv) {
    char pattern[] = "/tmp/kestrine-bench-XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(pattern);
    if (argc > 1) {
        const int ports = std::atoi(argv[1]);
        if (ports < 1 || ports > 16) {
            std::fprintf(stderr, "usage: %s [ports 1..16]\n", argv[0]);
            return 2;
        }
        for (int run = 0; run < RunCount(); ++run) {
            std::printf("monitored, %d ports: %.0f events/s\n", ports,
                        MonitoredEventsPerSecond(ports, dir));
        }
        std::filesystem::remove_all(dir);
        return 0;
    }
    bench::Runs plain;
    bench::Runs one;
    bench::Runs sixteen;
    for (int run = 0; run < RunCount(); ++run) {
        plain.values.push_back(PlainLinesPerSecond(dir));
        one.values.push_back(MonitoredEventsPerSecond(1, dir));
        sixteen.values.push_back(MonitoredEventsPerSecond(16, dir));
    }
    std::filesystem::remove_all(dir);

    plain.Print("plain open/append/flush/close loop:", "lines/s", 0);
    one.Print("monitored, 1 port:", "events/s", 0);
    sixteen.Print("monitored, 16 ports:", "events/s", 0);
    std::printf("1 port vs plain ratio %.2f\n", one.Median() / plain.Median());
    std::printf("16 ports vs 1 port ratio %.2f\n", sixteen.Median() / one.Median());
    std::printf("event-to-log ratio %.2f\n", sixteen.Median() / plain.Median());
    return 0;
}
