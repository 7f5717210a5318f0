// Floods and large files: what a dialler refusing in a loop and a huge log cost the application.
//   alert flood: 1000 refused dials of different numbers, each an event from the (in-memory)
//     driver through the monitor thread, the hand-over, the log and the alert; the resident memory
//     they add, against what the first 16 refusals (as many alerts as may be open) added.
//   large log: the Log tab shown over a 500 MB log file; time and peak resident memory, against
//     showing a 1 MiB log (what the tab shows of any log) in the same run.
// Each is run three times; medians and spreads are printed.
//   bench_floods
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/LogView.h"
#include "app/MainForm.h"
#include "bench/Runs.h"
#include "monitor/MonitorContract.h"
#include "numbers/ui/NumberBlockedForm.h"
#include "tests/support/FakeMonitorDevice.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRuns = 3;
constexpr int kRefusals = 1000;
constexpr int kFirstRefusals = 16;
constexpr std::uintmax_t kLargeLog = 500ull * 1024 * 1024;

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM").
long StatusKib(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field + ":")) {
            return std::atol(line.c_str() + field.size() + 1);
        }
    }
    return -1;
}

// Lets the peak (VmHWM) start again from the present resident size.
void ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// Serves the window until `done` holds or ten seconds pass.
template <typename Done>
bool ServeUntil(Done done) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!done() && Clock::now() < deadline) {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return done();
}

struct Window {
    kestrine::test::FakeDriverAccess access;
    kestrine::app::ApplicationSettings settings;
    std::unique_ptr<kestrine::app::TfrmMain> window;

    explicit Window(const fs::path& dir) {
        access.device->SetAttachablePorts({1});
        window = std::make_unique<kestrine::app::TfrmMain>(
            settings, kestrine::app::MainFormSetup{dir, kestrine::platform::Registry(dir / "r.db"),
                                                   &access, nullptr, [] {}, [] {}});
    }
    // Refuses `count` numbers from `first` on and waits until the last one was dispatched.
    bool Refuse(int first, int count) {
        for (int i = first; i < first + count; ++i) {
            access.device->QueueEvent(1, kestrine::monitor::EncodeNumberBlockedEvent(
                                             "0900" + std::to_string(100000 + i)));
        }
        return ServeUntil([&] { return access.device->QueuedEvents(1) == 0; });
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    char pattern[] = "/tmp/kestrine-bench-XXXXXX";
    const fs::path dir = ::mkdtemp(pattern);

    kestrine::bench::Runs firstMib;
    kestrine::bench::Runs floodMib;
    for (int run = 0; run < kRuns; ++run) {
        const fs::path runDir = dir / ("flood" + std::to_string(run));
        fs::create_directories(runDir);
        Window w(runDir);
        const long before = StatusKib("VmRSS");
        if (!w.Refuse(0, kFirstRefusals)) {
            std::fprintf(stderr, "the first refusals were not dispatched\n");
            return 1;
        }
        const long afterFirst = StatusKib("VmRSS");
        if (!w.Refuse(kFirstRefusals, kRefusals - kFirstRefusals)) {
            std::fprintf(stderr, "the flood was not dispatched\n");
            return 1;
        }
        QApplication::processEvents();
        const long afterFlood = StatusKib("VmRSS");
        firstMib.Add((afterFirst - before) / 1024.0);
        floodMib.Add((afterFlood - before) / 1024.0);
        std::printf("run %d: %zu alerts open after %d refusals\n", run + 1, w.window->OpenAlerts(),
                    kRefusals);
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* alert = qobject_cast<kestrine::ui::TfrmBlocked*>(widget);
                alert != nullptr && alert->isVisible()) {
                alert->btnOKClick();
            }
        }
        QApplication::processEvents();
    }
    firstMib.Print("memory added by the first 16 refusals", "MiB");
    floodMib.Print("memory added by 1000 refusals", "MiB");

    // The large log: written once, shown three times; the 1 MiB log likewise.
    const fs::path logDir = dir / "log";
    fs::create_directories(logDir);
    {
        std::ofstream log(logDir / "qdlog.log", std::ios::binary);
        const std::string line = "12/10/26 09:00:01: WRITE: ATDT0900123456\r\t\r\n";
        std::string block;
        while (block.size() < (1 << 20)) {
            block += line;
        }
        for (std::uintmax_t written = 0; written < kLargeLog; written += block.size()) {
            log.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }
    const fs::path smallDir = dir / "small";
    fs::create_directories(smallDir);
    {
        std::ifstream large(logDir / "qdlog.log", std::ios::binary);
        std::string head(kestrine::app::kLogViewLimit - 4096, '\0');
        large.read(head.data(), static_cast<std::streamsize>(head.size()));
        std::ofstream(smallDir / "qdlog.log", std::ios::binary) << head;
    }
    auto show = [](const fs::path& folder, double& ms, double& peakMib) {
        Window w(folder);
        const long before = StatusKib("VmRSS");
        ResetPeak();
        const auto start = Clock::now();
        w.window->ViewLog1Click();
        QApplication::processEvents();
        ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        peakMib = (StatusKib("VmHWM") - before) / 1024.0;
        w.window->hide();
    };
    kestrine::bench::Runs largeMs, largeMib, smallMs, smallMib;
    for (int run = 0; run < kRuns; ++run) {
        double ms = 0, mib = 0;
        show(smallDir, ms, mib);
        smallMs.Add(ms);
        smallMib.Add(mib);
        show(logDir, ms, mib);
        largeMs.Add(ms);
        largeMib.Add(mib);
    }
    smallMs.Print("show a 1 MiB log", "ms");
    largeMs.Print("show a 500 MB log", "ms");
    smallMib.Print("peak memory added showing a 1 MiB log", "MiB");
    largeMib.Print("peak memory added showing a 500 MB log", "MiB");
    std::printf("large-log ratio %.2f (time to show 500 MB over time to show 1 MiB)\n",
                largeMs.Median() / smallMs.Median());
    fs::remove_all(dir);
    std::printf("alert-flood-mib %.1f\n", floodMib.Median());
    std::printf("large-log ms %.1f\n", largeMs.Median());
    return 0;
}
