// Kestrine: the tray application.
#include <QApplication>
#include <QFile>

#include "app/MainForm.h"
#include "app/SessionEnd.h"
#include "app/SingleInstance.h"
#include "numbers/ui/DialogSupport.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("kestrine");
    QApplication::setQuitOnLastWindowClosed(false);  // the window only hides; Exit ends the program

    // Before anything else: a second instance tells the first and ends, touching nothing.
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
    kestrine::app::SessionEnd sessionEnd;
    QObject::connect(&sessionEnd, &kestrine::app::SessionEnd::Ending, &frmMain, &kestrine::app::TfrmMain::SessionEnding);

    application.exec();
    return 0;
}
