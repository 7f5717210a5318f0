#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <set>
#include <string>
#include <vector>

#include "numbers/ui/ChgPINForm.h"
#include "numbers/ui/DialogSupport.h"
#include "numbers/ui/GetPINForm.h"
#include "numbers/ui/SetPINForm.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/ui/ModalHelper.h"

using namespace kestrine;
using namespace kestrine::ui;

namespace {

struct Typed {
    std::vector<QString> fields;  // in tab order
    std::string error;            // the common error box's text, or "" when the dialog accepts
};

// Types into the fields, presses OK, and checks what follows: the error box with the dialog left
// open and every field as typed, or the dialog accepted.
template <typename Dialog>
void TypeAndPressOk(const std::vector<QLineEdit*>& fields, const Typed& typed,
                    const std::string& currentPin = "") {
    SCOPED_TRACE(typed.error.empty() ? "accepted" : typed.error);
    test::ScriptedPrompts prompts;
    if (!typed.error.empty()) {
        prompts.ExpectCommonError(typed.error);
    }
    Dialog dialog(prompts);
    if constexpr (std::is_same_v<Dialog, TfrmChgPin>) {
        dialog.CurrentPIN = currentPin;
    }
    dialog.show();
    const auto edits = dialog.template findChildren<QLineEdit*>();
    std::vector<QLineEdit*> ordered;
    for (QLineEdit* probe : fields) {
        for (QLineEdit* edit : edits) {
            if (edit->objectName() == probe->objectName()) {
                ordered.push_back(edit);
            }
        }
    }
    for (std::size_t i = 0; i < ordered.size(); ++i) {
        QTest::keyClicks(ordered[i], typed.fields[i]);
    }
    QTest::mouseClick(dialog.template findChild<QPushButton*>("btnOK"), Qt::LeftButton);
    if (typed.error.empty()) {
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        EXPECT_FALSE(dialog.isVisible());
    } else {
        EXPECT_TRUE(dialog.isVisible());
        EXPECT_NE(dialog.result(), QDialog::Accepted);
        for (std::size_t i = 0; i < ordered.size(); ++i) {
            EXPECT_EQ(ordered[i]->text(), typed.fields[i]);
        }
    }
}

}  // namespace

TEST(PinDialogs, GetPinValidation) {
    test::ScriptedPrompts unused;
    TfrmGetPIN probe(unused);
    const std::vector<QLineEdit*> fields{probe.form.txtPIN};
    TypeAndPressOk<TfrmGetPIN>(fields, {{"    "}, "PIN Cannot be blank."});
    TypeAndPressOk<TfrmGetPIN>(fields, {{"abc"}, "PIN must be at least 4 characters."});
    TypeAndPressOk<TfrmGetPIN>(fields, {{"  ab"}, ""});
}

TEST(PinDialogs, SetPinValidation) {
    test::ScriptedPrompts unused;
    TfrmSetPIN probe(unused);
    const std::vector<QLineEdit*> fields{probe.form.txtPIN, probe.form.txtPINConfirm};
    TypeAndPressOk<TfrmSetPIN>(fields, {{"abcd", "abce"}, "PINs do not match."});
    TypeAndPressOk<TfrmSetPIN>(fields, {{"abcd", "abcd"}, ""});
}

TEST(PinDialogs, ChangePinValidation) {
    test::ScriptedPrompts unused;
    TfrmChgPin probe(unused);
    const std::vector<QLineEdit*> fields{probe.form.txtCurrPIN, probe.form.txtNewPIN,
                                         probe.form.txtConfirmPin};
    TypeAndPressOk<TfrmChgPin>(fields, {{"9999", "", ""}, "Current Pin incorrect."}, "1234");
    TypeAndPressOk<TfrmChgPin>(
        fields, {{"1234", "abcd", "    "}, "New PIN and Confirm New PIN do not match."}, "1234");
    TypeAndPressOk<TfrmChgPin>(fields, {{"1234", "abcd", "abcd"}, ""}, "1234");
}

TEST(PinDialogs, LayoutFramesAndKeys) {
    test::ScriptedPrompts prompts;
    TfrmGetPIN get(prompts);
    TfrmSetPIN set(prompts);
    TfrmChgPin change(prompts);
    struct Expect {
        QDialog* dialog;
        QString caption;
        QSize client;
        bool closeBox;
        std::vector<const char*> tabOrder;
    };
    const std::vector<Expect> expected{
        {&get, "Get PIN", {227, 176}, false, {"txtPIN", "btnOK", "btnCancel"}},
        {&set, "Set PIN", {223, 234}, true, {"txtPIN", "txtPINConfirm", "btnOK", "btnCancel"}},
        {&change,
         "Change Pin",
         {231, 295},
         true,
         {"txtCurrPIN", "txtNewPIN", "txtConfirmPin", "btnOK", "btnCancel"}},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.caption.toStdString());
        e.dialog->show();
        EXPECT_EQ(e.dialog->windowTitle(), e.caption);
        EXPECT_EQ(e.dialog->size(), e.client);
        EXPECT_EQ(e.dialog->font().pixelSize(), 13);
        EXPECT_EQ(e.dialog->windowFlags().testFlag(Qt::WindowCloseButtonHint), e.closeBox);
        EXPECT_FALSE(e.dialog->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
        const auto* picture = e.dialog->findChild<QLabel*>("Image2");
        ASSERT_NE(picture, nullptr);
        EXPECT_EQ(picture->pixmap().size(), QSize(32, 32));
        EXPECT_TRUE(picture->pixmap().hasAlphaChannel());
        for (auto* edit : e.dialog->findChildren<QLineEdit*>()) {
            EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
            EXPECT_EQ(
                edit->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, edit),
                '*');
        }
        const auto* ok = e.dialog->findChild<QPushButton*>("btnOK");
        EXPECT_TRUE(ok->isDefault());
        EXPECT_EQ(ok->text(), "Ok");
        EXPECT_EQ(e.dialog->findChild<QPushButton*>("btnCancel")->text(), "Cancel");
        // The focus chain from the first field follows the tab order.
        QWidget* w = e.dialog->findChild<QWidget*>(e.tabOrder.front());
        for (std::size_t i = 1; i < e.tabOrder.size(); ++i) {
            do {
                w = w->nextInFocusChain();
            } while (w->focusPolicy() == Qt::NoFocus || !w->isEnabled());
            EXPECT_EQ(w->objectName().toStdString(), e.tabOrder[i]);
        }
        e.dialog->hide();
    }
    EXPECT_TRUE(change.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_EQ(change.minimumSize(), QSize(0, 0)) << "the change dialog is sizeable";
    EXPECT_EQ(get.minimumSize(), get.maximumSize());
    EXPECT_EQ(get.findChild<QLabel*>("lblCaption")->text(), "Enter parental control Pin");
    EXPECT_EQ(set.findChild<QLabel*>("Label1")->text(), "Enter PIN to set parental control");
    EXPECT_EQ(change.findChild<QLabel*>("Label1")->text(),
              "Confirm current PIN and Enter new PIN.");
}

TEST(PinDialogs, AskFunctionsReadThePinHoweverTheDialogCloses) {
    test::ScriptedPrompts prompts;
    QString caption;
    test::WhenModalAppears([&](QWidget& dialog) {
        caption = dialog.findChild<QLabel*>("lblCaption")->text();
        QTest::keyClicks(dialog.findChild<QLineEdit*>("txtPIN"), "abcd");
        QTest::keyClick(&dialog, Qt::Key_Return);
    });
    auto answer = ui::AskPIN(prompts, "   ");
    EXPECT_EQ(caption, "Enter parental control Pin");
    EXPECT_TRUE(answer.accepted);
    EXPECT_EQ(answer.pin, "abcd");

    test::WhenModalAppears([&](QWidget& dialog) {
        caption = dialog.findChild<QLabel*>("lblCaption")->text();
        QTest::keyClicks(dialog.findChild<QLineEdit*>("txtPIN"), "xy");
        QTest::keyClick(&dialog, Qt::Key_Escape);
    });
    answer = ui::AskPIN(prompts, "Enter Pin to enable parental control");
    EXPECT_EQ(caption, "Enter Pin to enable parental control");
    EXPECT_FALSE(answer.accepted);
    EXPECT_EQ(answer.pin, "xy");

    test::WhenModalAppears([&](QWidget& dialog) {
        QTest::keyClicks(dialog.findChild<QLineEdit*>("txtNewPIN"), "5678");
        QTest::mouseClick(dialog.findChild<QPushButton*>("btnCancel"), Qt::LeftButton);
    });
    answer = ui::AskChangedPIN(prompts, "1234");
    EXPECT_FALSE(answer.accepted);
    EXPECT_EQ(answer.pin, "5678");

    test::WhenModalAppears([&](QWidget& dialog) {
        QTest::keyClicks(dialog.findChild<QLineEdit*>("txtPIN"), "2468");
        QTest::keyClicks(dialog.findChild<QLineEdit*>("txtPINConfirm"), "2468");
        QTest::mouseClick(dialog.findChild<QPushButton*>("btnOK"), Qt::LeftButton);
    });
    answer = ui::AskNewPIN(prompts);
    EXPECT_TRUE(answer.accepted);
    EXPECT_EQ(answer.pin, "2468");
}

TEST(PinDialogs, DifferentTypedPinsNeverBecomeTheSameBytes) {
    // Each through the real dialog; none may collapse into another (as "?" for every character
    // outside Latin-1 did), and each reads back as typed.
    const QStringList typed{"\u0436\u0436\u0436\u0436", "\u0449\u0449\u0449\u0449", "????",
                            "\u00C4\u00D6\u00DC\u00DF", "abcd"};
    test::ScriptedPrompts prompts;
    std::set<std::string> pins;
    for (const QString& pin : typed) {
        test::WhenModalAppears([&](QWidget& dialog) {
            // Typed as a keyboard layout sends them: key events that carry the characters.
            for (const QChar c : pin) {
                QTest::sendKeyEvent(QTest::Click, dialog.findChild<QLineEdit*>("txtPIN"),
                                    Qt::Key_unknown, QString(c), Qt::NoModifier);
            }
            QTest::keyClick(&dialog, Qt::Key_Return);
        });
        const auto answer = ui::AskPIN(prompts, "");
        EXPECT_TRUE(answer.accepted);
        EXPECT_EQ(ui::ToQt(answer.pin), pin);
        pins.insert(answer.pin);
    }
    EXPECT_EQ(pins.size(), static_cast<std::size_t>(typed.size()));
}
