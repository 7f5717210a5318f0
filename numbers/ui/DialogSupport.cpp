#include "numbers/ui/DialogSupport.h"

#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <atomic>
#include <mutex>

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
