// Dial to alert: from a dial line written to the published COM1 until the alert for the refused
// number is on screen (its window exposed), through the real driver, the monitor thread, the
// hand-over, the log and the alert window; the driver's NO CARRIER in the same dials is the
// baseline. Runs on the display it is given (bench/run starts Xvfb when there is none).
//   bench_dial_to_alert <kestrine-setup>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/MainForm.h"
#include "bench/Runs.h"
#include "numbers/ui/NumberBlockedForm.h"
#include "platform/SystemRoot.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

kestrine::ui::TfrmBlocked* ExposedAlert() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* alert = qobject_cast<kestrine::ui::TfrmBlocked*>(widget);
        if (alert != nullptr && alert->isVisible() && alert->windowHandle() != nullptr &&
            alert->windowHandle()->isExposed()) {
            return alert;
        }
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_dial_to_alert <kestrine-setup>\n");
        return 2;
    }
    char pattern[] = "/tmp/kestrine-bench-XXXXXX";
    const fs::path dir = ::mkdtemp(pattern);
    ::setenv("KESTRINE_ROOT", (dir / "root").c_str(), 1);
    const std::string prepare = std::string("'") + argv[1] + "' --ports COM1=modem >/dev/null";
    if (std::system(prepare.c_str()) != 0) {
        std::fprintf(stderr, "kestrine-setup failed\n");
        return 1;
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    kestrine::bench::Runs toAlert;
    kestrine::bench::Runs toBlock;
    {
        kestrine::app::ApplicationSettings settings;
        auto setup = kestrine::app::MainFormSetup::System();
        setup.programDirectory = dir;
        kestrine::app::TfrmMain window(settings, setup);
        const int port = ::open(kestrine::platform::PublishedPortPath(1).c_str(),
                                O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (port < 0) {
            std::fprintf(stderr, "COM1 is not published: is the driver running?\n");
            return 1;
        }
        constexpr int kDials = 21;
        for (int i = 0; i < kDials; ++i) {
            const std::string line = "ATDT09001234" + std::to_string(100 + i) + "\r";
            std::string reply;
            const auto start = Clock::now();
            if (::write(port, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
                std::fprintf(stderr, "cannot write to COM1\n");
                return 1;
            }
            double blockedMs = -1;
            double alertMs = -1;
            kestrine::ui::TfrmBlocked* alert = nullptr;
            while (alertMs < 0 || blockedMs < 0) {
                QApplication::processEvents(QEventLoop::AllEvents, 1);
                const auto elapsed =
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                if (alertMs < 0 && (alert = ExposedAlert()) != nullptr) {
                    alertMs = elapsed;
                }
                char buffer[256];
                const ssize_t n = ::read(port, buffer, sizeof buffer);
                if (n > 0) {
                    reply.append(buffer, static_cast<std::size_t>(n));
                    if (blockedMs < 0 && reply.find("NO CARRIER") != std::string::npos) {
                        blockedMs = elapsed;
                    }
                }
                if (elapsed > 10000) {
                    std::fprintf(stderr, "no alert within 10 s\n");
                    return 1;
                }
            }
            toAlert.Add(alertMs);
            toBlock.Add(blockedMs);
            alert->btnOKClick();
            QApplication::processEvents();
        }
        ::close(port);
    }
    std::ifstream pidFile(dir / "root" / "run" / "QDDRIVER.pid");
    pid_t driver = 0;
    if (pidFile >> driver && driver > 0) {
        ::kill(driver, SIGTERM);
    }
    fs::remove_all(dir);
    const double alertMs = toAlert.Median();
    const double blockMs = toBlock.Median();
    toBlock.Print("dial to NO CARRIER:", "ms", 2);
    toAlert.Print("dial to alert:", "ms", 2);
    std::printf("alert vs NO CARRIER ratio %.1f (on %s)\n", alertMs / blockMs,
                qPrintable(QGuiApplication::platformName()));
    std::printf("dial-to-alert ms %.2f\n", alertMs);
    return 0;
}
