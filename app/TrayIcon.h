#pragma once
// The tray icon, put up once a tray host is there to take it.
//
// Qt chooses between the StatusNotifierItem tray (D-Bus) and the XEmbed tray once per process,
// when the first tray icon is made, and keeps that choice: an icon made before the desktop's
// StatusNotifierWatcher appears (a panel that autostarts after the application, as panels often
// do) never shows. So on X11 and Wayland the icon is made only once a host is there: a
// StatusNotifierWatcher with a host on the session bus, or an XEmbed tray manager on the display.
// Until then its settings are kept, and the desktop is looked at once a second. On other
// platforms (offscreen) the icon is made at once, as Qt has no choice to make there.
//
// Offers the part of QSystemTrayIcon's interface the main window uses.
#include <QIcon>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>
#include <functional>
#include <memory>

class QMenu;

namespace kestrine::app {

class TrayIcon : public QObject {
    Q_OBJECT
public:
    explicit TrayIcon(QObject* parent = nullptr);
    ~TrayIcon() override;

    void setIcon(const QIcon& icon);
    void setToolTip(const QString& tip);
    QString toolTip() const { return toolTip_; }
    void setContextMenu(QMenu* menu);
    // Shows the icon now when a host is there, else as soon as one appears. The first time no
    // host is there, `noHost` runs (from the event loop, once).
    void show(std::function<void()> noHost = {});
    bool isVisible() const { return visible_; }
    void showMessage(const QString& title, const QString& message,
                     QSystemTrayIcon::MessageIcon icon = QSystemTrayIcon::Information);

    // Whether the icon is up in a host (or left to Qt on a platform without a choice).
    bool IsUp() const { return icon_ != nullptr; }
    // Whether this display has a tray host now.
    static bool HostPresent();

signals:
    void activated(QSystemTrayIcon::ActivationReason reason);

private:
    void MakeIcon();

    std::unique_ptr<QSystemTrayIcon> icon_;
    QIcon image_;
    QString toolTip_;
    QMenu* menu_ = nullptr;
    bool visible_ = false;
    QTimer look_;  // while no host is there
};

}  // namespace kestrine::app
