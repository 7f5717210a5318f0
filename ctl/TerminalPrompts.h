#pragma once
// The questions of the shared editing code, asked on the controlling terminal: the PIN without
// echo, a confirmation as y/N. Messages go to standard error. Without a terminal nothing is
// asked: a PIN counts as cancelled and a question as answered No, so a script never hangs and
// never gets past the PIN.
#include "numbers/Prompts.h"

namespace kestrine::ctl {

class TerminalPrompts final : public Prompts {
public:
    bool Confirm(const std::string& text) override;
    void Error(const std::string& text) override;
    void Warning(const std::string& text) override;
    void Information(const std::string& text) override;
    void CommonError(const std::string& text) override;
    PinAnswer AskPIN(const std::string& prompt) override;
    PinAnswer AskNewPIN() override { return {}; }
    PinAnswer AskChangedPIN(const std::string&) override { return {}; }

    // Whether a question could not be asked for want of a terminal.
    bool NoTerminal() const { return noTerminal_; }

private:
    bool noTerminal_ = false;
};

}  // namespace kestrine::ctl
