// A StatusNotifierWatcher with a host, as a panel's tray provides it, for the desktop test: owns
// org.kde.StatusNotifierWatcher on the session bus and prints "registered <service>" for every
// item that registers, until terminated.
#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <cstdio>

namespace {

class Watcher : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ IsStatusNotifierHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ ProtocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ RegisteredStatusNotifierItems)
public:
    explicit Watcher(QObject* parent) : QDBusAbstractAdaptor(parent) {}
    bool IsStatusNotifierHostRegistered() const { return true; }
    int ProtocolVersion() const { return 0; }
    QStringList RegisteredStatusNotifierItems() const { return items_; }

public slots:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message) {
        // A service name or an object path; a path belongs to the caller.
        const QString item = service.startsWith('/') ? message.service() + service : service;
        items_ << item;
        std::printf("registered %s\n", qPrintable(item));
        std::fflush(stdout);
        emit StatusNotifierItemRegistered(item);
    }
    void RegisterStatusNotifierHost(const QString&) {}

signals:
    void StatusNotifierItemRegistered(const QString& service);
    void StatusNotifierHostRegistered();

private:
    QStringList items_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QObject root;
    new Watcher(&root);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject("/StatusNotifierWatcher", &root) ||
        !bus.registerService("org.kde.StatusNotifierWatcher")) {
        std::fprintf(stderr, "fake tray host: cannot own the watcher's name\n");
        return 1;
    }
    std::printf("watching\n");
    std::fflush(stdout);
    return app.exec();
}

#include "FakeTrayHost.moc"
