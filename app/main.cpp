// Kestrine: the tray application.
#include <unistd.h>
#include <QApplication>
#include <QFile>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <utility>

#include "app/MainForm.h"
#include "app/SessionEnd.h"
#include "app/SingleInstance.h"
#include "numbers/ui/DialogSupport.h"

namespace {

// --help and --version answer and end before anything else: no display is needed, no instance
// starts and nothing is logged. Every other argument is left to Qt (-platform, -display, ...).
bool AnswerCommandLine(int argc, char** argv, int& status) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf(
                "usage: kestrine [--help | --version]\n"
                "\n"
                "The tray application of Kestrine: shows what the driver refuses to dial, keeps\n"
                "the list of allowed numbers and the log. One instance runs per user and\n"
                "graphical session; a second start brings the first one's window up.\n"
                "  -h, --help     show this help and exit\n"
                "      --version  show the version and exit\n"
                "\n"
                "KESTRINE_ROOT relocates the system root (the settings store, the driver and its\n"
                "ports).\n");
            status = 0;
            return true;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("kestrine %s\n", KESTRINE_VERSION);
            status = 0;
            return true;
        }
    }
    return false;
}

// The display going away (the X server or the Wayland compositor ends with the session) makes Qt
// end the process with exit(1) from inside the event loop: no signal, no Quit event. That is the
// session's end all the same, so the orderly stop runs here, as on SIGTERM: the ports are
// detached, the driver is told, the log is closed. Nothing of it draws; alerts are no longer made.
kestrine::app::TfrmMain* gRunningWindow = nullptr;

void StopOnDisplayLoss() {
    kestrine::app::TfrmMain* window = std::exchange(gRunningWindow, nullptr);
    if (window == nullptr) {
        return;  // the event loop ended normally and the window stopped on its own
    }
    std::fputs("kestrine: the display is gone; stopping as at the end of the session\n", stderr);
    window->SessionEnding();
    std::fflush(nullptr);
    std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    if (int status = 0; AnswerCommandLine(argc, argv, status)) {
        return status;
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName("kestrine");
    QApplication::setQuitOnLastWindowClosed(false);  // the window only hides; Exit ends the program
    // Reading the font files (and the system's font configuration with them) takes a while; it
    // runs beside the start-up until the window first needs the fonts (LoadApplicationFonts
    // waits for it there).
    auto fontsLoaded = std::async(std::launch::async, &kestrine::ui::LoadApplicationFonts);
    // Before anything that can wait (the single-instance lock, the driver's start): an end of the
    // session during start-up is kept and runs the orderly stop once the window exists.
    kestrine::app::SessionEnd sessionEnd;

    // A second instance tells the first and ends, touching nothing.
    kestrine::app::SingleInstance instance;
    if (!instance.Acquire()) {
        return 0;
    }

    kestrine::app::ApplicationSettings settings;
    settings.Title = kestrine::ui::kApplicationTitle;
    settings.HelpFile = "QDHELP.HLP";
    settings.ShowMainForm = false;

    kestrine::ui::SetUpApplicationLook();

    kestrine::app::TfrmMain frmMain(settings, kestrine::app::MainFormSetup::System());
    QObject::connect(&instance, &kestrine::app::SingleInstance::InstanceCreated, &frmMain,
                     &kestrine::app::TfrmMain::JvAppInstances1InstanceCreated);
    QObject::connect(&sessionEnd, &kestrine::app::SessionEnd::Ending, &frmMain,
                     &kestrine::app::TfrmMain::SessionEnding);
    if (sessionEnd.Requested()) {
        QTimer::singleShot(0, &frmMain, &kestrine::app::TfrmMain::SessionEnding);
    }

    // KESTRINE_READY_FD=n: one byte on descriptor n once the tray icon is up and monitoring runs,
    // for whoever started the program and waits for it (service managers, the start-up benchmark).
    if (const int readyFd = qEnvironmentVariableIntValue("KESTRINE_READY_FD"); readyFd > 2) {
        QTimer::singleShot(0, [readyFd] {
            const char ready = '1';
            [[maybe_unused]] const auto written = ::write(readyFd, &ready, 1);
            ::close(readyFd);
        });
    }

    gRunningWindow = &frmMain;
    std::atexit(StopOnDisplayLoss);
    application.exec();
    gRunningWindow = nullptr;
    return 0;
}
