#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <QWindow>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "numbers/ui/ChgPINForm.h"
#include "numbers/ui/DialogSupport.h"
#include "numbers/ui/GetPINForm.h"
#include "numbers/ui/QtPrompts.h"
#include "numbers/ui/SetPINForm.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/ui/ModalHelper.h"

using namespace kestrine;
using namespace kestrine::ui;

namespace {

enum class Kind { Get, Set, Change };

std::unique_ptr<PinDialog> MakeDialog(Kind kind, Prompts& prompts, const std::string& currentPin) {
    switch (kind) {
        case Kind::Get:
            return std::make_unique<TfrmGetPIN>(prompts);
        case Kind::Set:
            return std::make_unique<TfrmSetPIN>(prompts);
        case Kind::Change: {
            auto dialog = std::make_unique<TfrmChgPin>(prompts);
            dialog->CurrentPIN = currentPin;
            return dialog;
        }
    }
    return nullptr;
}

// The dialog's PIN fields in tab order.
std::vector<const char*> FieldsOf(Kind kind) {
    switch (kind) {
        case Kind::Get:
            return {"txtPIN"};
        case Kind::Set:
            return {"txtPIN", "txtPINConfirm"};
        case Kind::Change:
            return {"txtCurrPIN", "txtNewPIN", "txtConfirmPin"};
    }
    return {};
}

}  // namespace

TEST(PinDialogs, OkChecksWhatWasTypedAndKeepsTheDialogOpenOnAnError) {
    struct Row {
        Kind kind;
        std::vector<QString> typed;  // into the fields, in tab order
        std::string error;           // the common error box's text; "" when the dialog accepts
    };
    const std::string current = "1234";  // the change dialog's stored PIN
    const Row rows[] = {
        {Kind::Get, {"    "}, "PIN Cannot be blank."},
        {Kind::Get, {"abc"}, "PIN must be at least 4 characters."},
        {Kind::Get, {"  ab"}, ""},
        {Kind::Set, {"abcd", "abce"}, "PINs do not match."},
        {Kind::Set, {"abcd", "abcd"}, ""},
        {Kind::Change, {"9999", "", ""}, "Current Pin incorrect."},
        {Kind::Change, {"1234", "abcd", "    "}, "New PIN and Confirm New PIN do not match."},
        {Kind::Change, {"1234", "abcd", "abcd"}, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.error.empty() ? "accepted" : row.error);
        test::ScriptedPrompts prompts;
        if (!row.error.empty()) {
            prompts.ExpectCommonError(row.error);
        }
        const auto dialog = MakeDialog(row.kind, prompts, current);
        dialog->show();
        const auto names = FieldsOf(row.kind);
        ASSERT_EQ(names.size(), row.typed.size());
        std::vector<QLineEdit*> fields;
        for (std::size_t i = 0; i < names.size(); ++i) {
            fields.push_back(dialog->findChild<QLineEdit*>(names[i]));
            QTest::keyClicks(fields.back(), row.typed[i]);
        }
        QTest::mouseClick(dialog->findChild<QPushButton*>("btnOK"), Qt::LeftButton);
        EXPECT_TRUE(prompts.Done());
        EXPECT_EQ(dialog->result() == QDialog::Accepted, row.error.empty());
        EXPECT_EQ(dialog->isVisible(), !row.error.empty()) << "an error leaves the dialog open";
        for (std::size_t i = 0; i < fields.size(); ++i) {
            EXPECT_EQ(fields[i]->text(), row.typed[i]) << "every field stays as typed";
        }
    }
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

TEST(PinDialogs, AnErrorBoxBelongsToTheDialogThatRaisedItAndTheDialogToItsWindow) {
    // A box owned by the main window instead opened behind the dialog, took the keyboard and
    // could not be seen: the dialog looked frozen.
    QWidget mainWindow;
    mainWindow.show();
    QtPrompts prompts(&mainWindow);
    QWidget* dialogParent = nullptr;
    QWindow* dialogOwner = nullptr;
    QWindow* dialogWindow = nullptr;
    QWidget* boxParent = nullptr;
    QWidget* dialogSeen = nullptr;
    QWindow* boxOwner = nullptr;
    QString boxText;
    test::WhenModalAppears([&](QWidget& dialog) {
        dialogSeen = &dialog;
        dialogParent = dialog.parentWidget();
        dialogWindow = dialog.windowHandle();
        dialogOwner = dialogWindow->transientParent();
        test::WhenModalAppears([&](QWidget& box) {
            boxParent = box.parentWidget();
            boxOwner = box.windowHandle()->transientParent();
            boxText = qobject_cast<QMessageBox*>(&box)->text();
            QTest::keyClick(&box, Qt::Key_Return);
        });
        QTest::mouseClick(dialog.findChild<QPushButton*>("btnOK"), Qt::LeftButton);
        QTest::mouseClick(dialog.findChild<QPushButton*>("btnCancel"), Qt::LeftButton);
    });
    EXPECT_FALSE(prompts.AskChangedPIN("1234").accepted);
    EXPECT_EQ(boxText, "PIN Cannot be blank.");
    EXPECT_EQ(dialogParent, &mainWindow);
    EXPECT_EQ(dialogOwner, mainWindow.windowHandle()) << "Change Pin stays above the main window";
    EXPECT_EQ(boxParent, dialogSeen);
    EXPECT_EQ(boxOwner, dialogWindow) << "the error box stays above Change Pin";
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
