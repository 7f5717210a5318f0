#pragma once
// Every modal question the application asks, behind one interface: the Qt layer answers with real
// dialogs and message boxes, tests answer from a script.
#include <functional>
#include <string>

namespace kestrine {

struct PinAnswer {
    bool accepted = false;  // closed through OK
    std::string pin;        // what the PIN field held when the dialog closed, however it closed
};

class Prompts {
public:
    virtual ~Prompts() = default;

    // "Confirm" box (question icon, Yes/No, Yes the default, Escape answers No): true on Yes.
    virtual bool Confirm(const std::string& text) = 0;
    // "Error" (stop icon), "Warning" (exclamation icon), "Information" boxes with OK.
    virtual void Error(const std::string& text) = 0;
    virtual void Warning(const std::string& text) = 0;
    virtual void Information(const std::string& text) = 0;
    // The common error box: the application title as caption, stop icon, OK; `text` is shown as
    // given (see CommonErrorText).
    virtual void CommonError(const std::string& text) = 0;

    // The PIN dialogs: ask the PIN (an empty or blank prompt keeps the dialog's own caption), ask
    // a first PIN twice, ask the current PIN and a new one twice.
    virtual PinAnswer AskPIN(const std::string& prompt) = 0;
    virtual PinAnswer AskNewPIN() = 0;
    virtual PinAnswer AskChangedPIN(const std::string& currentPin) = 0;
};

// The common error box's text: the message, with a full stop appended when its last character
// sorts after "." (so messages ending in ".", or in a blank, stay as they are).
std::string CommonErrorText(const std::string& message);

// Runs a user action's handler: a UserError raised out of it abandons the rest of the handler and
// is shown in the common error box. Returns false when that happened.
bool RunUserAction(Prompts& prompts, const std::function<void()>& handler);

}  // namespace kestrine
