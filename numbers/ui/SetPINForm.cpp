#include "numbers/ui/SetPINForm.h"

#include "numbers/PinRules.h"
#include "numbers/ui/DialogSupport.h"

namespace kestrine::ui {

TfrmSetPIN::TfrmSetPIN(Prompts& errorBox, QWidget* parent) : PinDialog(errorBox, parent) {
    form.setupUi(this);
    Finish(Frame::FixedWithClose, *form.Image2, 223, 234);
    connect(form.btnOK, &QPushButton::clicked, this, &TfrmSetPIN::btnOKClick);
    connect(form.btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TfrmSetPIN::btnOKClick() {
    AcceptIfValid([this] {
        ValidateSetPin(FromQt(form.txtPIN->text()), FromQt(form.txtPINConfirm->text()));
    });
}

PinAnswer AskNewPIN(Prompts& errorBox, QWidget* parent) {
    TfrmSetPIN dialog(errorBox, DialogOwner(parent));
    if (ApplicationQuitting()) {
        return {};
    }
    const bool accepted = dialog.exec() == QDialog::Accepted && !ApplicationQuitting();
    return {accepted, FromQt(dialog.form.txtPIN->text())};
}

}  // namespace kestrine::ui
