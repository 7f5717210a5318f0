#include "numbers/ui/PinDialog.h"

#include <QLabel>
#include <QShowEvent>

#include "numbers/ui/DialogSupport.h"

namespace kestrine::ui {

PinDialog::PinDialog(Prompts& errorBox, QWidget* parent) : QDialog(parent), errorBox_(errorBox) {}

void PinDialog::Finish(Frame frame, QLabel& picture, int clientWidth, int clientHeight) {
    LoadApplicationFonts();
    setFont(TahomaPixels(13));
    picture.setPixmap(KeysPicture());
    // Every PIN field shows "*" for each character, whatever the widget style would draw.
    setStyleSheet("QLineEdit { lineedit-password-character: 42; }");
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    switch (frame) {
        case Frame::FixedNoButtons:
            setFixedSize(clientWidth, clientHeight);
            break;
        case Frame::FixedWithClose:
            flags |= Qt::WindowCloseButtonHint;
            setFixedSize(clientWidth, clientHeight);
            break;
        case Frame::SizeableWithCloseAndMinimise:
            flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                    Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint;
            resize(clientWidth, clientHeight);
            break;
    }
    setWindowFlags(flags);
    setModal(true);
    MakeOwned(*this);
}

void PinDialog::AcceptIfValid(const std::function<void()>& checks) {
    RunUserAction(errorBox_, [&] {
        checks();
        accept();
    });
}

void PinDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!centred_) {
        centred_ = true;
        CentreOnScreen(*this);
    }
}

}  // namespace kestrine::ui
