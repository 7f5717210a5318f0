#pragma once
// What every window of the application shares: the dialog font, centring, the byte conversion at
// the user-interface edge, and the application's artwork.
#include <QFont>
#include <QPixmap>
#include <QString>
#include <string>

class QWidget;

namespace kestrine::ui {

inline constexpr const char* kApplicationTitle = "Tallowby Kestrine";

// Loads the free Tahoma of Debian's fonts-wine package when it is installed (it is not on
// fontconfig's path). Without it, "Tahoma" falls back to fontconfig's substitute (DejaVu Sans,
// about 15 % wider). Safe to call more than once and from any thread: a call while another thread
// loads them returns once they are loaded.
void LoadApplicationFonts();
// The application's look: the Fusion style and the application's style sheet. Under a style
// sheet Qt hands a window's font to its direct children only, so the sheet itself names the
// windows' fonts for every control inside them (group boxes, tab pages).
void SetUpApplicationLook();
// Tahoma at a pixel size, optionally bold.
QFont TahomaPixels(int pixels, bool bold = false);

// Texts are bytes in the core and UTF-8 at this edge, for every text: PINs, numbers, the log. Bytes
// that are not UTF-8 (port data in the log, a number an earlier version stored as Latin-1) show as
// Latin-1 characters.
QString ToQt(const std::string& bytes);
std::string FromQt(const QString& text);

// Places a top-level window in the centre of the screen it is on.
void CentreOnScreen(QWidget& window);
// Gives a top-level window the client size of its layout and makes it fixed.
void FixClientSize(QWidget& window, int width, int height);

QPixmap KeysPicture();

// The window that a dialog or box about to open belongs to: the modal dialog in front (a box
// raised by a dialog must come above that dialog), else the application's active window (an
// alert asking for the PIN), else `fallback`.
QWidget* DialogOwner(QWidget* fallback);
// Makes a top-level window belong to its parent's window (WM_TRANSIENT_FOR on X11, the parent
// of a Wayland toplevel), so that it stays above it, and keeps it off the task bar: the
// application's main window is the only one that has an entry there. Call once its window flags
// are final and before it is shown.
void MakeOwned(QWidget& window);
// Asks the window manager to leave a window that is not shown yet off the task bar.
void SkipTaskBar(QWidget& window);

// Set once the application has begun to end (end of the session). A modal loop interrupted by
// the end returns as if its default button had been pressed, so every caller of exec() checks
// this afterwards and treats the answer as a refusal; no new box is shown any more either.
void SetApplicationQuitting(bool quitting);
bool ApplicationQuitting();

}  // namespace kestrine::ui
