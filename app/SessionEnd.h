#pragma once
// The end of the user's session, as the application hears of it: the session manager's commit
// request, and SIGTERM, SIGHUP and SIGINT (turned into a queued event through a self-pipe, so the
// handler itself only writes one byte).
#include <QObject>
#include <memory>

class QSocketNotifier;

namespace kestrine::app {

class SessionEnd : public QObject {
    Q_OBJECT
public:
    explicit SessionEnd(QObject* parent = nullptr);
    ~SessionEnd() override;

signals:
    void Ending();

private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace kestrine::app
