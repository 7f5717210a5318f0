// How often the program behind a refused dial is named, and never wrongly: chat (as a connect
// script runs it), picocom, and a script that writes the dial and ends at once, each dialling a
// refused number through a published port of a real qddriver, 50 times. Printed per program as
// ratios: named/total (the right process as the dialler, plainly or "probably"), of those plainly
// named, and wrongly-named/total (another process as the dialler, or a "one of" without it).
//
// The driver keeps its record of the port's openings as root only; run as a user, the figures
// are those of the rules that see only the holders. Dials are spaced by more than the driver's
// least spacing of looks (a slow look may hold the next off for up to 19 times its length), as
// separate dials are.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "bench/RelayBench.h"
#include "monitor/DialFacts.h"
#include "monitor/MonitorContract.h"

using namespace kestrine;
using namespace kestrine::bench;

namespace {

constexpr int kRuns = 50;
constexpr auto kSpacing = std::chrono::milliseconds(300);

pid_t Spawn(const std::vector<std::string>& args) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        std::vector<char*> argv;
        for (const auto& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// The facts of the next refusal on the port, within 10 s.
std::optional<monitor::DialFacts> NextRefusal(platform::Device& device,
                                              const std::vector<std::uint8_t>& id) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        platform::Overlapped overlapped(platform::Event::CreateManualReset());
        std::vector<std::uint8_t> size(4);
        auto result =
            device.ControlOverlapped(monitor::IOCTL_MONITOR_WAIT_EVENT, id, size, overlapped);
        if (result.status == platform::IoStatus::Pending) {
            const platform::Event events[] = {overlapped.GetEvent()};
            if (platform::WaitForAny(events, 10000) != platform::WAIT_OBJECT_0) {
                return std::nullopt;
            }
            result = device.GetOverlappedResult(overlapped, size);
        }
        if (!result.Succeeded()) {
            return std::nullopt;
        }
        std::vector<std::uint8_t> record(monitor::GetU32(size, 0));
        if (!device.Control(monitor::IOCTL_MONITOR_READ_EVENT, id, record).Succeeded()) {
            return std::nullopt;
        }
        const auto event = monitor::DecodeMonitorEvent(record);
        if (event && event->type == monitor::NumberBlocked) {
            return event->dialFacts.value_or(monitor::DialFacts{});
        }
    }
    return std::nullopt;
}

struct Tally {
    int named = 0;
    int plainly = 0;
    int wrongly = 0;
    int runs = 0;
};

void Judge(const monitor::DialFacts& facts, pid_t dialler, Tally& tally) {
    ++tally.runs;
    const auto pid = static_cast<std::uint32_t>(dialler);
    using monitor::DialVerdict;
    if (facts.verdict == DialVerdict::Dialled || facts.verdict == DialVerdict::Probably) {
        if (facts.holders.at(facts.dialler).process.pid == pid) {
            ++tally.named;
            tally.plainly += facts.verdict == DialVerdict::Dialled ? 1 : 0;
        } else {
            ++tally.wrongly;
            std::printf("  wrongly: %s\n", monitor::DialledByLine(facts).c_str());
        }
        return;
    }
    if (std::getenv("KESTRINE_BENCH_VERBOSE") != nullptr) {
        std::printf("  unnamed (verdict %d):", static_cast<int>(facts.verdict));
        for (const auto& h : facts.holders) {
            std::printf(" [%u %s%s%s%s%s]", h.process.pid, h.process.executable.c_str(),
                        h.candidate ? " candidate" : "", h.openedItself ? " opened" : "",
                        h.ended ? " ended" : "", h.closed ? " closed" : "");
        }
        std::printf("\n");
    }
    if (facts.verdict == DialVerdict::OneOf) {
        const bool among = std::any_of(facts.holders.begin(), facts.holders.end(),
                                       [&](const monitor::PortHolder& h) {
                                           return h.candidate && h.process.pid == pid;
                                       });
        if (!among) {
            ++tally.wrongly;
            std::printf("  wrongly: %s\n", monitor::DialledByLine(facts).c_str());
        }
    }
}

}  // namespace

int main() {
    BenchDriver driver({"COM1=modem"});
    std::vector<std::uint8_t> id(4);
    if (!driver.Device()
             .Control(monitor::IOCTL_MONITOR_ATTACH_PORT, monitor::PortNameBuffer(1), id)
             .Succeeded()) {
        Fail("attach COM1");
    }
    const std::string port = driver.Port(1).string();
    struct Client {
        const char* name;
        std::vector<std::string> args;
    };
    // The process each starts is the one that dials (chat by exec, as a connect script does).
    const std::vector<Client> clients{
        {"chat",
         {"sh", "-c",
          "exec chat -t 3 ABORT 'NO CARRIER' '' ATDT0900123 CONNECT '' <" + port + " >" + port}},
        {"picocom", {"picocom", "-q", "-b", "9600", "-t", "ATDT0900123\r", "-x", "400", port}},
        {"write-and-exit", {"sh", "-c", "printf 'ATDT0900123\\r' > " + port}},
    };
    if (::geteuid() != 0) {
        std::printf("(not root: the driver keeps no record of the port's openings)\n");
    }
    bool met = true;
    for (const auto& client : clients) {
        Tally tally;
        for (int i = 0; i < kRuns; ++i) {
            const auto start = Clock::now();
            const pid_t pid = Spawn(client.args);
            const auto facts = NextRefusal(driver.Device(), id);
            ::waitpid(pid, nullptr, 0);
            if (!facts) {
                Fail(std::string(client.name) + ": no refusal");
            }
            Judge(*facts, pid, tally);
            std::this_thread::sleep_until(start + kSpacing);
        }
        const double named = 100.0 * tally.named / tally.runs;
        std::printf("%-16s named %2d/%d (%5.1f %%; plainly %2d)  wrongly named %d/%d\n",
                    client.name, tally.named, tally.runs, named, tally.plainly, tally.wrongly,
                    tally.runs);
        const double target = std::string(client.name) == "chat"      ? 95
                              : std::string(client.name) == "picocom" ? 100
                                                                      : 80;
        met = met && named >= target && tally.wrongly == 0;
    }
    std::printf("naming: targets (chat >= 95 %%, picocom 100 %%, write-and-exit >= 80 %%, none "
                "wrongly) %s\n",
                met ? "met" : "NOT met");
    return 0;
}
