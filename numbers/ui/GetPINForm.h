#pragma once
// TfrmGetPIN: asks for the parental-control PIN.
#include <string>

#include "numbers/Prompts.h"
#include "numbers/ui/PinDialog.h"
#include "ui_GetPINForm.h"

namespace kestrine::ui {

class TfrmGetPIN : public PinDialog {
    Q_OBJECT
public:
    explicit TfrmGetPIN(Prompts& errorBox, QWidget* parent = nullptr);
    Ui::TfrmGetPIN form;

private:
    void btnOKClick();
};

// Shows the dialog modally; `prompt` replaces the caption unless it is blank.
PinAnswer AskPIN(Prompts& errorBox, const std::string& prompt, QWidget* parent = nullptr);

}  // namespace kestrine::ui
