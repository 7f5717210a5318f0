#pragma once
// The prompts answered by real dialogs and message boxes.
#include "numbers/Prompts.h"

class QWidget;

namespace kestrine::ui {

class QtPrompts : public Prompts {
public:
    explicit QtPrompts(QWidget* parent = nullptr) : parent_(parent) {}

    bool Confirm(const std::string& text) override;
    void Error(const std::string& text) override;
    void Warning(const std::string& text) override;
    void Information(const std::string& text) override;
    void CommonError(const std::string& text) override;
    PinAnswer AskPIN(const std::string& prompt) override;
    PinAnswer AskNewPIN() override;
    PinAnswer AskChangedPIN(const std::string& currentPin) override;

private:
    QWidget* parent_;
};

}  // namespace kestrine::ui
