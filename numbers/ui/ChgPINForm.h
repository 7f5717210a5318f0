#pragma once
// TfrmChgPin: asks for the current PIN and a new one twice.
#include <string>

#include "numbers/Prompts.h"
#include "numbers/ui/PinDialog.h"
#include "ui_ChgPINForm.h"

namespace kestrine::ui {

class TfrmChgPin : public PinDialog {
    Q_OBJECT
public:
    explicit TfrmChgPin(Prompts& errorBox, QWidget* parent = nullptr);
    Ui::TfrmChgPin form;
    std::string CurrentPIN;  // the stored PIN, handed in by the caller

private:
    void btnOKClick();
};

// `pin` in: the stored PIN; the answer's pin: the new PIN.
PinAnswer AskChangedPIN(Prompts& errorBox, const std::string& pin, QWidget* parent = nullptr);

}  // namespace kestrine::ui
