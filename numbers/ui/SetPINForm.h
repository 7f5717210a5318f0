#pragma once
// TfrmSetPIN: asks for a first PIN twice.
#include "numbers/Prompts.h"
#include "numbers/ui/PinDialog.h"
#include "ui_SetPINForm.h"

namespace kestrine::ui {

class TfrmSetPIN : public PinDialog {
    Q_OBJECT
public:
    explicit TfrmSetPIN(Prompts& errorBox, QWidget* parent = nullptr);
    Ui::TfrmSetPIN form;

private:
    void btnOKClick();
};

PinAnswer AskNewPIN(Prompts& errorBox, QWidget* parent = nullptr);

}  // namespace kestrine::ui
