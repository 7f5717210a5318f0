#pragma once
// TfrmBlocked: the alert for one number the driver refused to dial. Not modal, one window per
// refused number, top-most whenever it is the active window.
#include <QWidget>
#include <functional>
#include <string>

#include "numbers/ParentalControl.h"
#include "numbers/Prompts.h"
#include "ui_NumberBlockedForm.h"

namespace kestrine::ui {

class TfrmBlocked : public QWidget {
    Q_OBJECT
public:
    struct Actions {
        std::function<bool(numbers::GatedAction)> passPinGate;  // the PIN gate
        std::function<void(const std::string&)> allowNumber;    // the main window's AllowNumber
        std::function<void()> showFromTray;                     // the main window's ShowFromTray
    };

    TfrmBlocked(Prompts& errorBox, Actions actions);
    Ui::TfrmBlocked form;

    // Shows the refused number as the driver reported it. A dial without a single dial digit
    // (a bare ATD) cannot be allowed: such a number would let nothing through, so Allow is off.
    void SetNumber(const std::string& number);
    // Who dialled, under the number as plain text (shortened in the middle to fit, whole in its
    // tooltip). A repeated refusal of the same number shows its own dialler here.
    void SetDialledBy(const std::string& dialledBy);
    // Opens the alert offset from `previous` (an alert still open) instead of in the centre, so
    // that alerts never hide each other; back at the screen's edge when the next step would leave
    // it. Call before the alert is first shown.
    void CascadeFrom(const QWidget* previous);

    bool IsTopMost() const;

    void btnOKClick();
    void btnAllowClick();
    void btnEditClick();

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void SetTopMost(bool topMost);
    // Closes the alert for one of its answers; nothing else may (Alt+F4, the window manager).
    void Answered();

    Prompts& errorBox_;
    Actions actions_;
    std::string number_;  // as reported; Allow stores these bytes
    bool answered_ = false;
    bool centred_ = false;
    QPoint cascadeFrom_;  // top left of the previous alert's frame
    bool cascaded_ = false;
};

// Opens a new alert for `number`, owned by the application (it deletes itself when closed), shown
// without waiting, cascaded from `previous` when another alert is open. `dialledBy` goes under
// the number (SetDialledBy). Returns it.
TfrmBlocked* ShowBlockedAlert(const std::string& number, const std::string& dialledBy,
                              Prompts& errorBox, TfrmBlocked::Actions actions,
                              const QWidget* previous = nullptr);

}  // namespace kestrine::ui
