// Dial-to-block latency: a refused dial line written to the published port until NO CARRIER has
// been read back, through qddriver with its virtual modem and an event reader attached. The
// baseline is the same round trip over a bare pseudo-terminal, answered by a thread.
//
// A dialling program dials once and waits; the application reads the refusal's events meanwhile.
// Before each dial the benchmark therefore waits (untimed) until the reader has taken the last
// refusal, so every dial meets the driver as a real dial does. Without that pause the dials
// would outrun the reader, the driver would hold the port once its queue of refusals is full
// (which keeps its memory bounded) and the figure would be the reader's rate, not the refusal's:
// that rate is printed as well.
//
// Both round trips start a fixed pause after the previous one ended, the driver's and the bare
// one alike: a processor that has been idle for a while takes longer to wake (on these virtual
// machines, tens of microseconds), and a dial always finds the driver idle, while a bare
// round trip run back to back never finds its answering thread so. The back-to-back figure is
// printed for information.
#include <algorithm>

#include "bench/RelayBench.h"
#include "bench/Runs.h"

using namespace kestrine::bench;

namespace {

constexpr int kWarmUp = 200;
constexpr int kRounds = 3000;
const std::string kDial = "ATDT0900123\r";

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double At(const std::vector<double>& sorted, double quantile) {
    return sorted[static_cast<std::size_t>(quantile * static_cast<double>(sorted.size() - 1))];
}

struct Latencies {
    double median;
    double p99;
};

// Between the end of one round trip and the start of the next.
constexpr auto kPause = std::chrono::milliseconds(1);

// `pace(i)` runs (untimed) before each round trip; with `paused`, each also starts no sooner than
// kPause after the previous one ended.
template <typename Pace>
Latencies Measure(int fd, bool paused, Pace pace) {
    std::vector<double> micros;
    auto lastEnd = Clock::now();
    for (int i = 0; i < kWarmUp + kRounds; ++i) {
        pace(i);
        if (paused) {
            std::this_thread::sleep_until(lastEnd + kPause);
        }
        const auto start = Clock::now();
        WriteAll(fd, kDial.data(), kDial.size());
        ReadUntil(fd, "NO CARRIER\r\n");
        lastEnd = Clock::now();
        if (i >= kWarmUp) {
            micros.push_back(Micros(lastEnd - start));
        }
    }
    std::sort(micros.begin(), micros.end());
    return {At(micros, 0.5), At(micros, 0.99)};
}

// A bare pseudo-terminal and a thread that answers every line at once.
class BarePty {
public:
    BarePty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            Fail("no pseudo-terminals");
        }
        slave_ = OpenRaw(::ptsname(master_));
        responder_ = std::thread([this] {
            char buffer[256];
            for (;;) {
                const auto n = ::read(master_, buffer, sizeof buffer);
                if (n <= 0) {
                    return;
                }
                if (std::find(buffer, buffer + n, '\r') != buffer + n) {
                    const std::string reply = kDial + "\r\nNO CARRIER\r\n";
                    WriteAll(master_, reply.data(), reply.size());
                }
            }
        });
    }
    ~BarePty() {
        ::close(slave_);
        responder_.join();
        ::close(master_);
    }
    int Fd() const { return slave_; }

private:
    int master_ = -1;
    int slave_ = -1;
    std::thread responder_;
};

}  // namespace

int main() {
    BenchDriver driver({"COM1=modem"});
    driver.AttachAndDrain(1);
    driver.SetAllowList({"0123456"});
    const int port = OpenRaw(driver.Port(1));
    std::uint64_t refused = 0;

    Runs bareMedian, bareP99, blockMedian, blockP99, backToBack;
    for (int run = 0; run < 3; ++run) {
        {
            BarePty bare;
            backToBack.values.push_back(Measure(bare.Fd(), false, [](int) {}).median);
            const auto l = Measure(bare.Fd(), true, [](int) {});
            bareMedian.values.push_back(l.median);
            bareP99.values.push_back(l.p99);
        }
        const auto l = Measure(port, true, [&](int) {
            while (driver.BlockedRead() < refused) {
                std::this_thread::yield();
            }
            ++refused;
        });
        blockMedian.values.push_back(l.median);
        blockP99.values.push_back(l.p99);
    }

    // Dials as fast as they are refused: the reader's pace, not the refusal's.
    const auto floodStart = Clock::now();
    const auto flood = Measure(port, false, [](int) {});
    const double floodRate =
        (kWarmUp + kRounds) / std::chrono::duration<double>(Clock::now() - floodStart).count();
    ::close(port);

    std::printf("each of 3 runs: %d dials after %d for warming up, %lld ms apart\n", kRounds,
                kWarmUp, static_cast<long long>(kPause.count()));
    bareMedian.Print("bare PTY round trip:", "us");
    bareP99.Print("bare PTY round trip, p99:", "us");
    blockMedian.Print("dial-to-block:", "us");
    blockP99.Print("dial-to-block, p99:", "us");
    backToBack.Print("bare PTY, back to back (information):", "us");
    std::printf("unpaced dials (the event reader's pace): %.0f dials/s, median %.1f us\n",
                floodRate, flood.median);
    std::printf("targets: median under 2 x the bare round trip, p99 under 1000 us\n");
    std::printf("dial-to-block vs bare ratio %.2f\n", blockMedian.Median() / bareMedian.Median());
    std::printf("dial-to-block median-us %.1f\n", blockMedian.Median());
    return 0;
}
