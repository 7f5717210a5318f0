#include "numbers/ui/QtPrompts.h"

#include "numbers/ui/ChgPINForm.h"
#include "numbers/ui/GetPINForm.h"
#include "numbers/ui/MessageBoxes.h"
#include "numbers/ui/SetPINForm.h"

namespace kestrine::ui {

bool QtPrompts::Confirm(const std::string& text) {
    return ShowMessageBox(BoxKind::Confirm, text, parent_);
}
void QtPrompts::Error(const std::string& text) {
    ShowMessageBox(BoxKind::Error, text, parent_);
}
void QtPrompts::Warning(const std::string& text) {
    ShowMessageBox(BoxKind::Warning, text, parent_);
}
void QtPrompts::Information(const std::string& text) {
    ShowMessageBox(BoxKind::Information, text, parent_);
}
void QtPrompts::CommonError(const std::string& text) {
    ShowMessageBox(BoxKind::CommonError, text, parent_);
}

PinAnswer QtPrompts::AskPIN(const std::string& prompt) {
    return ui::AskPIN(*this, prompt, parent_);
}
PinAnswer QtPrompts::AskNewPIN() {
    return ui::AskNewPIN(*this, parent_);
}
PinAnswer QtPrompts::AskChangedPIN(const std::string& currentPin) {
    return ui::AskChangedPIN(*this, currentPin, parent_);
}

}  // namespace kestrine::ui
