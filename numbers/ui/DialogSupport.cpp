#include "numbers/ui/DialogSupport.h"

#include <QApplication>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <atomic>
#include <cstring>
#include <mutex>

#ifdef KESTRINE_HAVE_XCB
#include <xcb/xcb.h>

#include <QtGui/qguiapplication_platform.h>
#include <cstdlib>
#endif

#include "numbers/TextEncoding.h"

namespace kestrine::ui {

void LoadApplicationFonts() {
    // Once; a caller that comes while another thread loads them waits until they are loaded.
    static std::once_flag loaded;
    std::call_once(loaded, [] {
        for (const char* file :
             {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf"}) {
            if (QFile::exists(file)) {
                QFontDatabase::addApplicationFont(file);
            }
        }
    });
}

void SetUpApplicationLook() {
    QApplication::setStyle("Fusion");
    QFile style(":/style/kestrine.qss");
    if (style.open(QIODevice::ReadOnly) && qApp != nullptr) {
        qApp->setStyleSheet(QString::fromUtf8(style.readAll()));
    }
}

QFont TahomaPixels(int pixels, bool bold) {
    QFont font("Tahoma");
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

QString ToQt(const std::string& bytes) {
    const std::string text = numbers::ReadAsUtf8(bytes);
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string FromQt(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

void CentreOnScreen(QWidget& window) {
    QScreen* screen =
        window.screen() != nullptr ? window.screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    QRect frame = window.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window.move(frame.topLeft());
}

void FixClientSize(QWidget& window, int width, int height) {
    window.setFixedSize(width, height);
}

QPixmap KeysPicture() {
    return QPixmap(":/art/keys.png");
}

QWidget* DialogOwner(QWidget* fallback) {
    if (QWidget* modal = QApplication::activeModalWidget();
        modal != nullptr && modal->isVisible()) {
        return modal;
    }
    if (QWidget* active = QApplication::activeWindow(); active != nullptr && active->isVisible()) {
        return active;
    }
    return fallback;
}

void MakeOwned(QWidget& window) {
    window.winId();  // the native window, which the hints below are written on
    QWidget* owner = window.parentWidget() != nullptr ? window.parentWidget()->window() : nullptr;
    if (owner != nullptr && window.windowHandle() != nullptr) {
        owner->winId();  // a main window still hidden in the tray has none yet
        // Qt makes only dialogs transient for their parent; a sizeable window with a minimise
        // box (Change Pin) is made so here.
        window.windowHandle()->setTransientParent(owner->windowHandle());
    }
    SkipTaskBar(window);
}

void SkipTaskBar(QWidget& window) {
#ifdef KESTRINE_HAVE_XCB
    // EWMH _NET_WM_STATE_SKIP_TASKBAR. Qt has no portable flag for it; Wayland compositors leave
    // a toplevel with a parent off their task bars anyway.
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->connection() == nullptr) {
        return;
    }
    xcb_connection_t* connection = x11->connection();
    auto atom = [connection](const char* name) {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            connection,
            xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
            nullptr);
        const xcb_atom_t result =
            reply != nullptr ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
        std::free(reply);
        return result;
    };
    const xcb_atom_t state = atom("_NET_WM_STATE");
    const xcb_atom_t skip = atom("_NET_WM_STATE_SKIP_TASKBAR");
    if (state == XCB_ATOM_NONE || skip == XCB_ATOM_NONE) {
        return;
    }
    // Written before the window is mapped, where the window manager reads it; Qt keeps the atoms
    // it does not manage itself when it writes its own.
    const xcb_window_t id = static_cast<xcb_window_t>(window.winId());
    xcb_change_property(connection, XCB_PROP_MODE_APPEND, id, state, XCB_ATOM_ATOM, 32, 1, &skip);
    xcb_flush(connection);
#else
    (void)window;
#endif
}

namespace {
std::atomic<bool> gQuitting{false};
}

void SetApplicationQuitting(bool quitting) {
    gQuitting.store(quitting);
}
bool ApplicationQuitting() {
    return gQuitting.load();
}

}  // namespace kestrine::ui
