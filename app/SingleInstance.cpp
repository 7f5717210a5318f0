#include "app/SingleInstance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>
#include <QThread>
#include <cerrno>
#include <cstring>

namespace kestrine::app {

namespace {

constexpr int kConnectTimeoutMs = 500;
constexpr int kRetryForMs = 1000;

QString RuntimeFolder() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QDir(QString::fromLocal8Bit(runtime)).exists()
               ? QString::fromLocal8Bit(runtime)
               : PrivateFolderIn(QStringLiteral("/tmp"));
}

constexpr std::size_t kMaxLine = 64;  // a process ID and a newline, with room to spare

bool AddressOf(const QString& path, sockaddr_un& address) {
    const QByteArray bytes = QFile::encodeName(path);
    address = {};
    address.sun_family = AF_UNIX;
    if (bytes.isEmpty() || static_cast<std::size_t>(bytes.size()) >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return true;
}

// Waits up to `timeoutMs` for `events` on `fd`.
bool Await(int fd, short events, int timeoutMs) {
    pollfd wait{fd, events, 0};
    int ready;
    do {
        ready = ::poll(&wait, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready == 1 && (wait.revents & events) != 0;
}

// A connected socket to `path`, or -1 with `error` set (ENOENT: nobody made it; ECONNREFUSED:
// nobody listens on it; ETIMEDOUT: nobody answered in time).
int ConnectTo(const QString& path, int timeoutMs, int& error) {
    sockaddr_un address;
    if (!AddressOf(path, address)) {
        error = ENAMETOOLONG;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        error = 0;
        return fd;
    }
    error = errno;
    // A listener whose queue is full makes a caller wait: as long as the timeout allows.
    if ((error == EAGAIN || error == EINPROGRESS) && Await(fd, POLLOUT, timeoutMs)) {
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
            return fd;
        }
    } else if (error == EAGAIN || error == EINPROGRESS) {
        error = ETIMEDOUT;
    }
    ::close(fd);
    return -1;
}

// Whether the process at the other end of `fd` runs as this user: only an instance of the same
// user counts as the running one.
bool SameUser(int fd) {
    ucred peer{};
    socklen_t length = sizeof peer;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
           peer.uid == ::getuid();
}

}  // namespace

QString PrivateFolderIn(const QString& shared) {
    const QString folder = QStringLiteral("%1/kestrine-%2").arg(shared).arg(::getuid());
    const QByteArray path = QFile::encodeName(folder);
    ::mkdir(path.constData(), 0700);
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0) {
        return {};
    }
    return folder;
}

QString GraphicalSession() {
    QString session = qEnvironmentVariable("XDG_SESSION_ID");
    if (session.isEmpty()) {
        session = qEnvironmentVariable("WAYLAND_DISPLAY");
    }
    if (session.isEmpty()) {
        session = qEnvironmentVariable("DISPLAY");
        // ":0" and ":0.0" are the same X server.
        const qsizetype colon = session.lastIndexOf(':');
        const qsizetype dot = session.indexOf('.', colon + 1);
        if (colon >= 0 && dot > colon) {
            session.truncate(dot);
        }
    }
    // A file name part: nothing that makes a path or a hidden name; bounded so the socket's path
    // stays within what a Unix address holds.
    QString name;
    for (const QChar c : session.left(32)) {
        name += (c.isLetterOrNumber() && c.unicode() < 0x80) || c == u'-' || c == u'_' ? c : u'_';
    }
    return name;
}

SingleInstance::SingleInstance(const QString& key, const QString& folder) {
    QString name = key;
    name.remove('{').remove('}');
    QString base = QStringLiteral("kestrine-%1-%2").arg(name).arg(::getuid());
    if (const QString session = GraphicalSession(); !session.isEmpty()) {
        base += '-' + session;
    }
    const QString runtime = folder.isEmpty() ? RuntimeFolder() : folder;
    if (runtime.isEmpty()) {
        return;  // nowhere safe: this start runs as the first
    }
    const QDir dir(runtime);
    socketPath_ = dir.filePath(base + ".sock");
    lockPath_ = dir.filePath(base + ".lock");
}

SingleInstance::~SingleInstance() {
    for (const auto& [fd, caller] : callers_) {
        ::close(fd);
    }
    if (listener_ >= 0) {
        ::close(listener_);
        ::unlink(QFile::encodeName(socketPath_).constData());
    }
}

bool SingleInstance::NotifyRunningInstance(int& error) {
    const int fd = ConnectTo(socketPath_, kConnectTimeoutMs, error);
    if (fd < 0) {
        return false;
    }
    if (!SameUser(fd)) {
        // Another user's socket under our name: it hears nothing from us, and stands for nothing.
        squatted_ = true;
        ::close(fd);
        return false;
    }
    const QByteArray line = QByteArray::number(QCoreApplication::applicationPid()) + '\n';
    qsizetype written = 0;
    while (written < line.size() && Await(fd, POLLOUT, kConnectTimeoutMs)) {
        const ssize_t n = ::send(fd, line.constData() + written,
                                 static_cast<std::size_t>(line.size() - written), MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            break;
        }
        written += n > 0 ? n : 0;
    }
    ::close(fd);
    return true;
}

bool SingleInstance::Acquire() {
    if (socketPath_.isEmpty()) {
        return true;
    }
    // Simultaneous starts: only one at a time may decide whether it is the first. The kernel lets
    // go of the lock when its holder ends, however it ends, so a crashed instance leaves none.
    // The file stays: removing it could let a start that waits on the old file and one that makes
    // a new file both decide at once.
    QElapsedTimer clock;
    clock.start();
    const int lock = ::open(QFile::encodeName(lockPath_).constData(),
                            O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    // A lock we cannot take (a folder we may not write, a holder that does not let go): go on
    // without it.
    while (lock >= 0 && ::flock(lock, LOCK_EX | LOCK_NB) != 0 &&
           (errno == EWOULDBLOCK || errno == EINTR) && clock.elapsed() <= kRetryForMs) {
        QThread::msleep(10);
    }
    struct Unlock {
        int fd;
        ~Unlock() {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    } unlock{lock};
    // A running instance that is busy may be slow to answer: try for a while before taking over.
    for (;;) {
        int error = 0;
        if (NotifyRunningInstance(error)) {
            return false;
        }
        if (squatted_) {
            return true;  // cannot listen there either; protecting matters more
        }
        if (error == ENOENT || error == ECONNREFUSED || clock.elapsed() >= kRetryForMs) {
            break;
        }
        QThread::msleep(50);
    }
    Listen();  // run anyway when it fails: being unreachable is better than not protecting
    return true;
}

bool SingleInstance::Listen() {
    sockaddr_un address;
    if (!AddressOf(socketPath_, address)) {
        return false;
    }
    ::unlink(address.sun_path);  // a dead socket left by a crashed instance
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return false;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0) {
        ::close(fd);
        return false;
    }
    listener_ = fd;
    auto* listening = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(listening, &QSocketNotifier::activated, this, [this] { AcceptCallers(); });
    return true;
}

void SingleInstance::AcceptCallers() {
    for (;;) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            return;  // none left (or one that gave up meanwhile)
        }
        auto* readable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        callers_[fd].readable = readable;
        connect(readable, &QSocketNotifier::activated, this, [this, fd] { ReadCaller(fd); });
    }
}

void SingleInstance::ReadCaller(int fd) {
    const auto it = callers_.find(fd);
    if (it == callers_.end()) {
        return;
    }
    std::string& received = it->second.received;
    char buffer[kMaxLine];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (n > 0) {
        received.append(buffer, static_cast<std::size_t>(n));
    }
    const auto end = received.find('\n');
    if (end == std::string::npos) {
        if (n <= 0 || received.size() > kMaxLine) {
            DropCaller(fd);  // gone, or talking too much, without a line
        }
        return;
    }
    const qint64 pid = QByteArray(received.data(), static_cast<qsizetype>(end)).trimmed().toLongLong();
    DropCaller(fd);
    if (pid != QCoreApplication::applicationPid()) {
        emit InstanceCreated(pid);
    }
}

void SingleInstance::DropCaller(int fd) {
    const auto it = callers_.find(fd);
    if (it == callers_.end()) {
        return;
    }
    // Called from the notifier's own signal: it goes once that has returned.
    it->second.readable->setEnabled(false);
    it->second.readable->deleteLater();
    callers_.erase(it);
    ::close(fd);
}

}  // namespace kestrine::app
