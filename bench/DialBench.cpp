// Dial-to-block latency: a refused dial line written to the published port until NO CARRIER has
// been read back, through qddriver with its virtual modem and an event reader attached. The
// baseline is the same round trip over a bare pseudo-terminal, answered by a thread.
#include <algorithm>

#include "bench/RelayBench.h"

using namespace kestrine::bench;

namespace {

constexpr int kWarmUp = 200;
constexpr int kRounds = 5000;
const std::string kDial = "ATDT0900123\r";

std::vector<double> Measure(int fd) {
    std::vector<double> micros;
    for (int i = 0; i < kWarmUp + kRounds; ++i) {
        const auto start = Clock::now();
        WriteAll(fd, kDial.data(), kDial.size());
        ReadUntil(fd, "NO CARRIER\r\n");
        if (i >= kWarmUp) {
            micros.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    std::sort(micros.begin(), micros.end());
    return micros;
}

double At(const std::vector<double>& sorted, double quantile) {
    return sorted[static_cast<std::size_t>(quantile * static_cast<double>(sorted.size() - 1))];
}

}  // namespace

int main() {
    // Baseline: a bare pseudo-terminal and a thread that answers every line at once.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        Fail("no pseudo-terminals");
    }
    const int slave = OpenRaw(::ptsname(master));
    std::thread responder([master] {
        char buffer[256];
        for (;;) {
            const auto n = ::read(master, buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            if (std::find(buffer, buffer + n, '\r') != buffer + n) {
                const std::string reply = kDial + "\r\nNO CARRIER\r\n";
                WriteAll(master, reply.data(), reply.size());
            }
        }
    });
    const auto bare = Measure(slave);
    ::close(slave);
    responder.join();
    ::close(master);

    BenchDriver driver({"COM1=modem"});
    driver.AttachAndDrain(1);
    driver.SetAllowList({"0123456"});
    const int port = OpenRaw(driver.Port(1));
    const auto blocked = Measure(port);
    ::close(port);

    std::printf("bare PTY round trip: median %.1f us, p99 %.1f us\n", At(bare, 0.5),
                At(bare, 0.99));
    std::printf(
        "dial-to-block (%d dials): median %.1f us, p99 %.1f us (targets: 250 us, 1000 us)\n",
        kRounds, At(blocked, 0.5), At(blocked, 0.99));
    std::printf("dial-to-block vs bare ratio %.2f\n", At(blocked, 0.5) / At(bare, 0.5));
    std::printf("dial-to-block median-us %.1f\n", At(blocked, 0.5));
    return 0;
}
