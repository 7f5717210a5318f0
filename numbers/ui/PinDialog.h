#pragma once
// What the three PIN dialogs share: font, keys picture, frame, centring, and an OK button whose
// checks raise errors shown in the common error box while the dialog stays open.
#include <QDialog>
#include <functional>

#include "numbers/Prompts.h"

class QLabel;

namespace kestrine::ui {

class PinDialog : public QDialog {
    Q_OBJECT
public:
    enum class Frame { FixedNoButtons, FixedWithClose, SizeableWithCloseAndMinimise };

protected:
    PinDialog(Prompts& errorBox, QWidget* parent);
    // Called by each dialog's constructor once its layout is set up.
    void Finish(Frame frame, QLabel& picture, int clientWidth, int clientHeight);
    // Runs the dialog's checks; a failing check shows its message and leaves every field as it was.
    void AcceptIfValid(const std::function<void()>& checks);
    void showEvent(QShowEvent* event) override;

private:
    Prompts& errorBox_;
    bool centred_ = false;
};

}  // namespace kestrine::ui
