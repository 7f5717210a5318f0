#include "numbers/ui/ChgPINForm.h"

#include "numbers/PinRules.h"
#include "numbers/ui/DialogSupport.h"

namespace kestrine::ui {

// The window is sizeable: 239 x 329 outside is a client area of 231 x 295 under a standard frame.
TfrmChgPin::TfrmChgPin(Prompts& errorBox, QWidget* parent) : PinDialog(errorBox, parent) {
    form.setupUi(this);
    Finish(Frame::SizeableWithCloseAndMinimise, *form.Image2, 231, 295);
    connect(form.btnOK, &QPushButton::clicked, this, &TfrmChgPin::btnOKClick);
    connect(form.btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TfrmChgPin::btnOKClick() {
    AcceptIfValid([this] {
        ValidateChangePin(FromQt(form.txtCurrPIN->text()), CurrentPIN,
                          FromQt(form.txtNewPIN->text()), FromQt(form.txtConfirmPin->text()));
    });
}

PinAnswer AskChangedPIN(Prompts& errorBox, const std::string& pin, QWidget* parent) {
    TfrmChgPin dialog(errorBox, DialogOwner(parent));
    dialog.CurrentPIN = pin;
    if (ApplicationQuitting()) {
        return {};
    }
    const bool accepted = dialog.exec() == QDialog::Accepted && !ApplicationQuitting();
    return {accepted, FromQt(dialog.form.txtNewPIN->text())};
}

}  // namespace kestrine::ui
