#include "app/SingleInstance.h"

#include <unistd.h>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
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
               : QStringLiteral("/tmp");
}

}  // namespace

SingleInstance::SingleInstance(const QString& key, const QString& folder) {
    QString name = key;
    name.remove('{').remove('}');
    const QString base = QStringLiteral("kestrine-%1-%2").arg(name).arg(::getuid());
    const QDir dir(folder.isEmpty() ? RuntimeFolder() : folder);
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
    socket.write(QByteArray::number(QCoreApplication::applicationPid()) + '\n');
    socket.waitForBytesWritten(kConnectTimeoutMs);
    socket.disconnectFromServer();
    return true;
}

bool SingleInstance::Acquire() {
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
