#pragma once
// Prompts answered from a script. Each question must be the next one expected, with the expected
// text; any other question fails the test at once (and gets a refusing answer). Questions left
// unasked fail the test when the script is destroyed.
#include <deque>
#include <string>
#include <vector>

#include "numbers/Prompts.h"

namespace kestrine::test {

class ScriptedPrompts : public Prompts {
public:
    ~ScriptedPrompts() override;

    ScriptedPrompts& ExpectConfirm(const std::string& text, bool yes);
    ScriptedPrompts& ExpectError(const std::string& text);
    ScriptedPrompts& ExpectWarning(const std::string& text);
    ScriptedPrompts& ExpectInformation(const std::string& text);
    ScriptedPrompts& ExpectCommonError(const std::string& text);
    // An empty `prompt` expects the dialog's own caption (an empty or blank prompt).
    ScriptedPrompts& ExpectAskPIN(const std::string& prompt, bool accepted,
                                  const std::string& pin = "");
    ScriptedPrompts& ExpectAskNewPIN(bool accepted, const std::string& pin = "");
    ScriptedPrompts& ExpectAskChangedPIN(const std::string& currentPin, bool accepted,
                                         const std::string& pin = "");

    // Every question asked so far, as "Kind: text".
    const std::vector<std::string>& Asked() const { return asked_; }
    bool Done() const { return script_.empty(); }

    bool Confirm(const std::string& text) override;
    void Error(const std::string& text) override;
    void Warning(const std::string& text) override;
    void Information(const std::string& text) override;
    void CommonError(const std::string& text) override;
    PinAnswer AskPIN(const std::string& prompt) override;
    PinAnswer AskNewPIN() override;
    PinAnswer AskChangedPIN(const std::string& currentPin) override;

private:
    struct Step {
        std::string question;  // "Kind: text"
        bool yes = false;
        PinAnswer pin;
    };
    ScriptedPrompts& Add(const std::string& question, bool yes = false, PinAnswer pin = {});
    Step Take(const std::string& question);

    std::deque<Step> script_;
    std::vector<std::string> asked_;
};

}  // namespace kestrine::test
