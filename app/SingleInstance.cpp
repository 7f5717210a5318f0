#include "app/SingleInstance.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QThread>

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

// Whether the process at the other end of `socket` runs as this user: only an instance of the
// same user counts as the running one.
bool SameUser(const QLocalSocket& socket) {
    ucred peer{};
    socklen_t length = sizeof peer;
    return ::getsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer,
                        &length) == 0 &&
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

SingleInstance::SingleInstance(const QString& key, const QString& folder) {
    QString name = key;
    name.remove('{').remove('}');
    const QString base = QStringLiteral("kestrine-%1-%2").arg(name).arg(::getuid());
    const QString runtime = folder.isEmpty() ? RuntimeFolder() : folder;
    if (runtime.isEmpty()) {
        return;  // nowhere safe: this start runs as the first
    }
    const QDir dir(runtime);
    socketPath_ = dir.filePath(base + ".sock");
    lockPath_ = dir.filePath(base + ".lock");
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::NotifyRunningInstance() {
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(kConnectTimeoutMs)) {
        return false;
    }
    if (!SameUser(socket)) {
        // Another user's socket under our name: it hears nothing from us, and stands for nothing.
        squatted_ = true;
        return false;
    }
    socket.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n');
    socket.waitForBytesWritten(kConnectTimeoutMs);
    socket.disconnectFromServer();
    return true;
}

bool SingleInstance::Acquire() {
    if (socketPath_.isEmpty()) {
        return true;
    }
    // Simultaneous starts: only one at a time may decide whether it is the first.
    QLockFile lock(lockPath_);
    lock.setStaleLockTime(0);  // stale only when its process is gone
    QElapsedTimer clock;
    clock.start();
    while (!lock.tryLock(100)) {
        if (lock.error() == QLockFile::LockFailedError && clock.elapsed() > kRetryForMs) {
            // A lock we cannot take (a folder we may not write): go on without it.
            break;
        }
        if (lock.error() == QLockFile::PermissionError) {
            break;
        }
    }
    // A running instance that is busy may be slow to answer: try for a while before taking over.
    do {
        if (NotifyRunningInstance()) {
            return false;
        }
        if (squatted_) {
            return true;  // cannot listen there either; protecting matters more
        }
        QLocalSocket probe;
        probe.connectToServer(socketPath_);
        probe.waitForConnected(50);
        if (probe.error() == QLocalSocket::ServerNotFoundError ||
            probe.error() == QLocalSocket::ConnectionRefusedError) {
            break;
        }
        QThread::msleep(50);
    } while (clock.elapsed() < kRetryForMs);

    server_ = std::make_unique<QLocalServer>();
    QLocalServer::removeServer(socketPath_);  // a dead socket left by a crashed instance
    if (!server_->listen(socketPath_)) {
        server_.reset();
        return true;  // run anyway: being unreachable is better than not protecting
    }
    connect(server_.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine()) {
                    return;
                }
                const qint64 pid = socket->readLine().trimmed().toLongLong();
                socket->disconnectFromServer();
                socket->deleteLater();
                if (pid != QCoreApplication::applicationPid()) {
                    emit InstanceCreated(pid);
                }
            });
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    return true;
}

}  // namespace kestrine::app
