#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "numbers/ui/MessageBoxes.h"
#include "numbers/ui/QtPrompts.h"
#include "platform/UserError.h"
#include "tests/ui/ModalHelper.h"

using namespace kestrine;
using namespace kestrine::ui;

TEST(MessageBoxes, EachKindHasItsCaptionIconAndButtons) {
    struct Expect {
        BoxKind kind;
        QString caption;
        QMessageBox::Icon icon;
        QStringList buttons;
        QString defaultButton;
        QString escapeButton;
    };
    const std::vector<Expect> expected{
        {BoxKind::Error, "Error", QMessageBox::Critical, {"OK"}, "OK", "OK"},
        {BoxKind::Warning, "Warning", QMessageBox::Warning, {"OK"}, "OK", "OK"},
        {BoxKind::Information, "Information", QMessageBox::Information, {"OK"}, "OK", "OK"},
        {BoxKind::Confirm, "Confirm", QMessageBox::Question, {"&Yes", "&No"}, "&Yes", "&No"},
        {BoxKind::CommonError, "Tallowby Kestrine", QMessageBox::Critical, {"OK"}, "OK", "OK"},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.caption.toStdString());
        auto box = MakeMessageBox(e.kind, "text\r\n\r\nmore");
        EXPECT_EQ(box->windowTitle(), e.caption);
        EXPECT_EQ(box->icon(), e.icon);
        EXPECT_EQ(box->text(), "text\r\n\r\nmore");
        EXPECT_EQ(box->textFormat(), Qt::PlainText) << "typed or pasted text is never markup";
        QStringList texts;
        for (auto* button : box->buttons()) {
            texts << button->text();
        }
        EXPECT_EQ(texts, e.buttons);
        EXPECT_EQ(box->defaultButton()->text(), e.defaultButton);
        EXPECT_EQ(box->escapeButton()->text(), e.escapeButton);
    }
}

TEST(MessageBoxes, ConfirmAnswersYesOnlyForYes) {
    QtPrompts prompts;
    test::WhenModalAppears([](QWidget& box) { QTest::keyClick(&box, Qt::Key_Escape); });
    EXPECT_FALSE(prompts.Confirm("Are you sure you want to clear the log?"));
    test::WhenModalAppears([](QWidget& box) { QTest::keyClick(&box, Qt::Key_Return); });
    EXPECT_TRUE(prompts.Confirm("Are you sure you want to clear the log?"));
}

TEST(MessageBoxes, CommonErrorBoxShowsTheMessage) {
    QtPrompts prompts;
    QString caption;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    test::WhenModalAppears([&](QWidget& widget) {
        auto& box = dynamic_cast<QMessageBox&>(widget);
        caption = box.windowTitle();
        text = box.text();
        icon = box.icon();
        box.defaultButton()->click();
    });
    EXPECT_TRUE(RunUserAction(prompts, [] {}));
    EXPECT_FALSE(RunUserAction(prompts, [] { throw UserError("PINs do not match"); }));
    EXPECT_EQ(caption, "Tallowby Kestrine");
    EXPECT_EQ(text, "PINs do not match.");
    EXPECT_EQ(icon, QMessageBox::Critical);
}
