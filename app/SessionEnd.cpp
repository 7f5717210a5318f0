#include "app/SessionEnd.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <cerrno>

namespace kestrine::app {

namespace {

int gPipe[2] = {-1, -1};

void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(gPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

SessionEnd::SessionEnd(QObject* parent) : QObject(parent) {
    if (gPipe[0] < 0 && ::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        gPipe[0] = gPipe[1] = -1;
    }
    if (gPipe[0] >= 0) {
        notifier_ = std::make_unique<QSocketNotifier>(gPipe[0], QSocketNotifier::Read);
        connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
            char buffer[16];
            while (::read(gPipe[0], buffer, sizeof buffer) > 0) {
            }
            End();
        });
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
            ::sigaction(signal, &action, nullptr);
        }
    }
    if (QCoreApplication* app = QCoreApplication::instance()) {
        app->installEventFilter(this);
    }
}

bool SessionEnd::eventFilter(QObject* watched, QEvent* event) {
    // Kestrine itself ends with exit(), never with quit(): a Quit event is the session manager's
    // order to end. Taken here, it does not first ask every window to close (the main window only
    // hides, an alert refuses), which would make the application ignore it.
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit) {
        End();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void SessionEnd::End() {
    requested_ = true;
    emit Ending();
}

SessionEnd::~SessionEnd() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        ::sigaction(signal, &action, nullptr);
    }
}

}  // namespace kestrine::app
