#include "app/TrayIcon.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QMenu>
#include <cstdlib>
#include <cstring>

#ifdef KESTRINE_HAVE_XCB
#include <xcb/xcb.h>

#include <QtGui/qguiapplication_platform.h>
#endif

namespace kestrine::app {

namespace {

constexpr int kLookEveryMs = 1000;
constexpr const char* kWatcher = "org.kde.StatusNotifierWatcher";

// A StatusNotifierWatcher on the session bus that has a host (a panel showing the items).
bool StatusNotifierHostPresent() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr ||
        !bus.interface()->isServiceRegistered(kWatcher).value()) {
        return false;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(kWatcher, "/StatusNotifierWatcher",
                                                      "org.freedesktop.DBus.Properties", "Get");
    get << QString::fromLatin1(kWatcher) << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, 500);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
           reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

// An XEmbed tray manager on the X display (the owner of _NET_SYSTEM_TRAY_S0).
bool XEmbedTrayPresent() {
#ifdef KESTRINE_HAVE_XCB
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->connection() == nullptr) {
        return false;
    }
    xcb_connection_t* connection = x11->connection();
    const char* name = "_NET_SYSTEM_TRAY_S0";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection,
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
        nullptr);
    if (atom == nullptr) {
        return false;
    }
    xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
    const bool present = owner != nullptr && owner->owner != XCB_WINDOW_NONE;
    std::free(owner);
    std::free(atom);
    return present;
#else
    return false;
#endif
}

}  // namespace

TrayIcon::TrayIcon(QObject* parent) : QObject(parent) {
    look_.setInterval(kLookEveryMs);
    connect(&look_, &QTimer::timeout, this, [this] {
        if (HostPresent()) {
            look_.stop();
            MakeIcon();
        }
    });
}

TrayIcon::~TrayIcon() = default;

bool TrayIcon::HostPresent() {
    const QString platform = QGuiApplication::platformName();
    if (platform != "xcb" && !platform.startsWith("wayland")) {
        return true;  // no choice for Qt to make here
    }
    return StatusNotifierHostPresent() || (platform == "xcb" && XEmbedTrayPresent());
}

void TrayIcon::setIcon(const QIcon& icon) {
    image_ = icon;
    if (icon_) {
        icon_->setIcon(icon);
    }
}

void TrayIcon::setToolTip(const QString& tip) {
    toolTip_ = tip;
    if (icon_) {
        icon_->setToolTip(tip);
    }
}

void TrayIcon::setContextMenu(QMenu* menu) {
    menu_ = menu;
    if (icon_) {
        icon_->setContextMenu(menu);
    }
}

void TrayIcon::show(std::function<void()> noHost) {
    visible_ = true;
    if (icon_) {
        icon_->show();
        return;
    }
    if (HostPresent()) {
        MakeIcon();
        return;
    }
    if (!look_.isActive()) {
        look_.start();
        if (noHost) {
            QTimer::singleShot(0, this, std::move(noHost));
        }
    }
}

void TrayIcon::showMessage(const QString& title, const QString& message,
                           QSystemTrayIcon::MessageIcon icon) {
    if (icon_) {
        icon_->showMessage(title, message, icon);
    }
}

void TrayIcon::MakeIcon() {
    icon_ = std::make_unique<QSystemTrayIcon>();
    icon_->setIcon(image_);
    icon_->setToolTip(toolTip_);
    if (menu_ != nullptr) {
        icon_->setContextMenu(menu_);
    }
    connect(icon_.get(), &QSystemTrayIcon::activated, this, &TrayIcon::activated);
    if (visible_) {
        icon_->show();
    }
}

}  // namespace kestrine::app
