// The baseline of the start-up benchmark: the least Qt tray application (an icon, a menu, a hidden
// window), signalling readiness the way kestrine does.
#include <unistd.h>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QWidget window;
    QMenu menu;
    menu.addAction("&Exit", &app, &QCoreApplication::quit);
    QSystemTrayIcon tray(QIcon(":/art/icon.png"));
    tray.setContextMenu(&menu);
    tray.show();
    if (const int readyFd = qEnvironmentVariableIntValue("KESTRINE_READY_FD"); readyFd > 2) {
        QTimer::singleShot(0, [readyFd] {
            const char ready = '1';
            [[maybe_unused]] const auto written = ::write(readyFd, &ready, 1);
            ::close(readyFd);
        });
    }
    return app.exec();
}
