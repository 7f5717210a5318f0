// Kestrine: the tray application.
#include <unistd.h>
#include <QApplication>
#include <QFile>
#include <QTimer>
#include <future>

#include "app/MainForm.h"
#include "app/SessionEnd.h"
#include "app/SingleInstance.h"
#include "numbers/ui/DialogSupport.h"

int main(int argc, char** argv) {
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

    QApplication::setStyle("Fusion");
    QFile style(":/style/kestrine.qss");
    if (style.open(QIODevice::ReadOnly)) {
        application.setStyleSheet(QString::fromUtf8(style.readAll()));
    }

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

    application.exec();
    return 0;
}
