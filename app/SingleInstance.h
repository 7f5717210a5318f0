#pragma once
// One running instance per user and graphical session: a lock file around "connect to the running
// instance, else become it", and a local socket on which the running instance hears of every later
// start.
//
// Both live in $XDG_RUNTIME_DIR (else in a folder of this user's own in /tmp) under a name made of
// the application's GUID, the user ID and the session, and only an instance of the same user
// counts: another user who binds the name first cannot make a start end without protecting. A
// crashed instance leaves no lock (the lock is the kernel's, on the file) and a dead socket
// (removed when nobody answers on it).
//
// The socket is a plain Unix stream socket watched by the event loop: a start writes its process
// ID and a newline and closes.
#include <QObject>
#include <QString>
#include <map>
#include <string>

class QSocketNotifier;

namespace kestrine::app {

inline constexpr const char* kApplicationGuid = "{6E0B3D74-5C1A-4F7E-9B8D-2A41C7E39F15}";

// "<shared>/kestrine-<uid>", made owner-only when missing; empty when what lies there is not this
// user's own private folder (a link, another user's, open to others).
QString PrivateFolderIn(const QString& shared);

// The graphical session this process belongs to, as a name part: the login session
// (XDG_SESSION_ID) where set, else the display (WAYLAND_DISPLAY, else DISPLAY without its screen
// number); empty without either. A user's second desktop (another display, another seat) runs an
// instance of its own rather than raising the first one's window on the other screen.
QString GraphicalSession();

class SingleInstance : public QObject {
    Q_OBJECT
public:
    // `key` names the instance (the GUID); `folder` overrides the runtime folder (tests).
    explicit SingleInstance(const QString& key = kApplicationGuid, const QString& folder = {});
    ~SingleInstance() override;

    // True when this process is now the running instance; false when another instance runs and
    // has been told of this one (this process should end with exit code 0).
    bool Acquire();

    QString SocketPath() const { return socketPath_; }

signals:
    // In the running instance: another instance started (its process ID).
    void InstanceCreated(qint64 processId);

private:
    // Tells the running instance of this start; false with `error` (the connect's errno, 0 when
    // it connected) when nobody heard it.
    bool NotifyRunningInstance(int& error);
    bool Listen();
    void AcceptCallers();
    void ReadCaller(int fd);
    void DropCaller(int fd);

    QString socketPath_;  // empty when there is no safe place for it
    bool squatted_ = false;
    QString lockPath_;
    int listener_ = -1;
    struct Caller {
        QSocketNotifier* readable = nullptr;
        std::string received;
    };
    std::map<int, Caller> callers_;
};

}  // namespace kestrine::app
