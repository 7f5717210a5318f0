#include "tests/support/ScriptedPrompts.h"

#include <gtest/gtest.h>

namespace kestrine::test {

ScriptedPrompts::~ScriptedPrompts() {
    for (const auto& step : script_) {
        ADD_FAILURE() << "expected question never asked: " << step.question;
    }
}

ScriptedPrompts& ScriptedPrompts::Add(const std::string& question, bool yes, PinAnswer pin) {
    script_.push_back({question, yes, std::move(pin)});
    return *this;
}

ScriptedPrompts::Step ScriptedPrompts::Take(const std::string& question) {
    asked_.push_back(question);
    if (script_.empty()) {
        ADD_FAILURE() << "unexpected question: " << question;
        return {};
    }
    Step step = script_.front();
    script_.pop_front();
    if (step.question != question) {
        ADD_FAILURE() << "asked \"" << question << "\" where \"" << step.question
                      << "\" was expected";
        return {};
    }
    return step;
}

ScriptedPrompts& ScriptedPrompts::ExpectConfirm(const std::string& text, bool yes) {
    return Add("Confirm: " + text, yes);
}
ScriptedPrompts& ScriptedPrompts::ExpectError(const std::string& text) {
    return Add("Error: " + text);
}
ScriptedPrompts& ScriptedPrompts::ExpectWarning(const std::string& text) {
    return Add("Warning: " + text);
}
ScriptedPrompts& ScriptedPrompts::ExpectInformation(const std::string& text) {
    return Add("Information: " + text);
}
ScriptedPrompts& ScriptedPrompts::ExpectCommonError(const std::string& text) {
    return Add("CommonError: " + text);
}
ScriptedPrompts& ScriptedPrompts::ExpectAskPIN(const std::string& prompt, bool accepted,
                                               const std::string& pin) {
    return Add("AskPIN: " + prompt, false, {accepted, pin});
}
ScriptedPrompts& ScriptedPrompts::ExpectAskNewPIN(bool accepted, const std::string& pin) {
    return Add("AskNewPIN: ", false, {accepted, pin});
}
ScriptedPrompts& ScriptedPrompts::ExpectAskChangedPIN(const std::string& currentPin, bool accepted,
                                                      const std::string& pin) {
    return Add("AskChangedPIN: " + currentPin, false, {accepted, pin});
}

bool ScriptedPrompts::Confirm(const std::string& text) {
    return Take("Confirm: " + text).yes;
}
void ScriptedPrompts::Error(const std::string& text) {
    Take("Error: " + text);
}
void ScriptedPrompts::Warning(const std::string& text) {
    Take("Warning: " + text);
}
void ScriptedPrompts::Information(const std::string& text) {
    Take("Information: " + text);
}
void ScriptedPrompts::CommonError(const std::string& text) {
    Take("CommonError: " + text);
}

PinAnswer ScriptedPrompts::AskPIN(const std::string& prompt) {
    const bool blank = prompt.find_first_not_of(" \t\r\n") == std::string::npos;
    return Take("AskPIN: " + (blank ? std::string() : prompt)).pin;
}
PinAnswer ScriptedPrompts::AskNewPIN() {
    return Take("AskNewPIN: ").pin;
}
PinAnswer ScriptedPrompts::AskChangedPIN(const std::string& currentPin) {
    return Take("AskChangedPIN: " + currentPin).pin;
}

}  // namespace kestrine::test
