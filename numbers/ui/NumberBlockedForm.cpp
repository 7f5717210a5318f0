#include "numbers/ui/NumberBlockedForm.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QWindow>

#include "numbers/DialDigits.h"
#include "numbers/ui/DialogSupport.h"

namespace kestrine::ui {

TfrmBlocked::TfrmBlocked(Prompts& errorBox, Actions actions)
    : errorBox_(errorBox), actions_(std::move(actions)) {
    form.setupUi(this);
    LoadApplicationFonts();
    setFont(TahomaPixels(11));
    form.Label1->setFont(TahomaPixels(13));
    form.lblPhoneNumber->setFont(TahomaPixels(21, true));
    form.lblBlockedBy->setFont(TahomaPixels(13));
    form.lblDialledBy->setFont(TahomaPixels(11));
    form.Image1->setPixmap(QPixmap(":/art/noentry.gif"));
    // A window of its own without a task-bar button, and without title-bar buttons.
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(427, 153);
    setAttribute(Qt::WA_DeleteOnClose);
    SkipTaskBar(*this);
    connect(form.btnOK, &QPushButton::clicked, this, &TfrmBlocked::btnOKClick);
    connect(form.btnAllow, &QPushButton::clicked, this, &TfrmBlocked::btnAllowClick);
    connect(form.btnEdit, &QPushButton::clicked, this, &TfrmBlocked::btnEditClick);
}

bool TfrmBlocked::IsTopMost() const {
    return windowHandle() != nullptr ? windowHandle()->flags().testFlag(Qt::WindowStaysOnTopHint)
                                     : windowFlags().testFlag(Qt::WindowStaysOnTopHint);
}

// Changed on the native window, so the alert is not hidden and shown again as a change of the
// widget's flags would do.
void TfrmBlocked::SetTopMost(bool topMost) {
    if (QWindow* window = windowHandle()) {
        window->setFlag(Qt::WindowStaysOnTopHint, topMost);
    }
}

void TfrmBlocked::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        SetTopMost(true);
    }
    QWidget::changeEvent(event);
}

void TfrmBlocked::closeEvent(QCloseEvent* event) {
    // OK, Edit and a successful Allow are the only ways out.
    if (!answered_) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

void TfrmBlocked::Answered() {
    answered_ = true;
    close();
}

void TfrmBlocked::keyPressEvent(QKeyEvent* event) {
    // No close box and no cancel button: Escape does nothing.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TfrmBlocked::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!centred_) {
        centred_ = true;
        CentreOnScreen(*this);
        if (cascaded_) {
            // One title bar down and right of the previous alert, so that its number and title
            // stay readable; back at the edge of the screen's free area where it would leave it.
            const QScreen* screen =
                this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
            const QRect frame = frameGeometry();
            const int titleBar = frame.height() - height();
            const int step = titleBar > 8 ? titleBar : 24;
            QPoint place = cascadeFrom_ + QPoint(step, step);
            if (screen != nullptr) {
                const QRect free = screen->availableGeometry();
                if (place.y() + frame.height() > free.bottom() + 1 || place.y() < free.top()) {
                    place.setY(free.top());
                }
                if (place.x() + frame.width() > free.right() + 1 || place.x() < free.left()) {
                    place.setX(free.left());
                }
            }
            move(place);
        }
    }
}

void TfrmBlocked::CascadeFrom(const QWidget* previous) {
    cascaded_ = previous != nullptr;
    if (previous != nullptr) {
        cascadeFrom_ = previous->frameGeometry().topLeft();
    }
}

void TfrmBlocked::SetDialledBy(const std::string& dialledBy) {
    QLabel* dialler = form.lblDialledBy;
    dialler->setText(QFontMetrics(dialler->font())
                         .elidedText(ToQt(dialledBy), Qt::ElideMiddle, dialler->width()));
    // Escaped inside rich text: a reported text that looks like markup shows as written.
    dialler->setToolTip("<qt>" + ToQt(dialledBy).toHtmlEscaped() + "</qt>");
}

void TfrmBlocked::SetNumber(const std::string& number) {
    number_ = number;
    form.lblPhoneNumber->setText(ToQt(number));
    form.btnAllow->setEnabled(numbers::HasDialDigits(number));
}

void TfrmBlocked::btnOKClick() {
    Answered();
}

void TfrmBlocked::btnEditClick() {
    Answered();
    actions_.showFromTray();
}

void TfrmBlocked::btnAllowClick() {
    SetTopMost(false);  // so that the PIN dialog can come in front
    RunUserAction(errorBox_, [this] {
        if (!actions_.passPinGate(numbers::GatedAction::Allow)) {
            return;
        }
        actions_.allowNumber(number_);
        Answered();
    });
}

TfrmBlocked* ShowBlockedAlert(const std::string& number, const std::string& dialledBy,
                              Prompts& errorBox, TfrmBlocked::Actions actions,
                              const QWidget* previous) {
    auto* alert = new TfrmBlocked(errorBox, std::move(actions));  // deletes itself on close
    alert->form.lblBlockedBy->setText(alert->form.lblBlockedBy->text() + "Kestrine");
    alert->SetNumber(number);
    alert->SetDialledBy(dialledBy);
    alert->CascadeFrom(previous);
    alert->show();
    alert->form.btnOK->setFocus();
    return alert;
}

}  // namespace kestrine::ui
