#pragma once
// The end of the user's session, as the application hears of it: SIGTERM, SIGHUP and SIGINT
// (turned into a queued event through a self-pipe, so the handler itself only writes one byte),
// and the session manager's order to end, which Qt delivers to the application as a Quit event.
//
// The session manager's request to save (commitDataRequest) is no end: it also comes for a save
// that is not a logout, and for a logout that another program may still cancel. Kestrine stops
// only once the end has come, and stays in the tray, monitoring, when it does not.
#include <QObject>
#include <memory>

class QSocketNotifier;

namespace kestrine::app {

class SessionEnd : public QObject {
    Q_OBJECT
public:
    // Installs the handling at once: make it before anything that can wait, so that an end that
    // comes during start-up is kept until the event loop runs.
    explicit SessionEnd(QObject* parent = nullptr);
    ~SessionEnd() override;

    // True once an end was heard (Ending was emitted), for a receiver connected late.
    bool Requested() const { return requested_; }

signals:
    void Ending();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void End();

    std::unique_ptr<QSocketNotifier> notifier_;
    bool requested_ = false;
};

}  // namespace kestrine::app
