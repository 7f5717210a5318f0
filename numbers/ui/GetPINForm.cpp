#include "numbers/ui/GetPINForm.h"

#include "numbers/PinRules.h"
#include "numbers/ui/DialogSupport.h"

namespace kestrine::ui {

TfrmGetPIN::TfrmGetPIN(Prompts& errorBox, QWidget* parent) : PinDialog(errorBox, parent) {
    form.setupUi(this);
    Finish(Frame::FixedNoButtons, *form.Image2, 227, 176);
    connect(form.btnOK, &QPushButton::clicked, this, &TfrmGetPIN::btnOKClick);
    connect(form.btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TfrmGetPIN::btnOKClick() {
    AcceptIfValid([this] { ValidateGetPin(FromQt(form.txtPIN->text())); });
}

PinAnswer AskPIN(Prompts& errorBox, const std::string& prompt, QWidget* parent) {
    TfrmGetPIN dialog(errorBox, DialogOwner(parent));
    if (!IsBlankPin(prompt)) {
        dialog.form.lblCaption->setText(ToQt(prompt));
    }
    if (ApplicationQuitting()) {
        return {};
    }
    const bool accepted = dialog.exec() == QDialog::Accepted && !ApplicationQuitting();
    return {accepted, FromQt(dialog.form.txtPIN->text())};
}

}  // namespace kestrine::ui
