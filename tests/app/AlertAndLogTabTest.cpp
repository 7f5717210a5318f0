#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QWindow>
#include <set>
#include <utility>

#include "app/MainForm.h"
#include "numbers/NumberListClass.h"
#include "numbers/ui/NumberBlockedForm.h"
#include "platform/SystemRoot.h"
#include "tests/app/WindowFixture.h"
#include "tests/support/FakeMonitorDevice.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TempDir.h"

using namespace kestrine;
using namespace kestrine::app;
using namespace std::chrono_literals;

namespace {

std::vector<ui::TfrmBlocked*> OpenAlerts() {
    std::vector<ui::TfrmBlocked*> alerts;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* alert = qobject_cast<ui::TfrmBlocked*>(widget);
            alert != nullptr && alert->isVisible()) {
            alerts.push_back(alert);
        }
    }
    return alerts;
}

using WindowTest = test::WindowFixture;

}  // namespace

TEST_F(WindowTest, TheFieldFiltersTypedCharactersButNotPastedText) {
    Start(test::Parental::Off);
    QTest::keyClicks(window->form.txtAllowed, "0a1-2(3)+ 4#");
    EXPECT_EQ(window->form.txtAllowed->text(), "0123+ 4");

    // Editing keys are no typed characters, whatever text they carry.
    QLineEdit* field = window->form.txtAllowed;
    field->setText("0123");
    QTest::keyClick(field, Qt::Key_Home);
    QTest::sendKeyEvent(QTest::Click, field, Qt::Key_Delete, QString(QChar(0x7F)),
                        Qt::NoModifier);  // as X11 sends it
    EXPECT_EQ(field->text().toStdString(), "123");
    QTest::keyClick(field, Qt::Key_Right);
    QTest::keyClick(field, Qt::Key_Backspace);
    EXPECT_EQ(field->text().toStdString(), "23");
    QTest::keyClick(field, Qt::Key_End);
    QTest::keyClicks(field, "9");
    EXPECT_EQ(field->text().toStdString(), "239");
    QTest::sendKeyEvent(QTest::Click, field, Qt::Key_unknown, "\u0661\u00E9", Qt::NoModifier);
    EXPECT_EQ(field->text().toStdString(), "239") << "typed letters outside ASCII are dropped too";

    window->form.txtAllowed->clear();
    QApplication::clipboard()->setText("(01) 23-45");
    window->form.txtAllowed->paste();
    EXPECT_EQ(window->form.txtAllowed->text(), "(01) 23-45");
}

TEST_F(WindowTest, ARefusedNumberFromTheDriverRaisesItsOwnAlert) {
    Start(test::Parental::Off);
    monitor::DialFacts facts;
    facts.verdict = monitor::DialVerdict::Dialled;
    facts.holders = {{{4242, 1000, "alice", "/usr/bin/<b>picocom</b>", "picocom"}, true, {}}};
    access.device->QueueEvent(1, monitor::EncodeNumberBlockedEvent("0900111", facts));
    access.device->QueueEvent(2, monitor::EncodeNumberBlockedEvent("0900222"));
    for (int i = 0; i < 500 && OpenAlerts().size() < 2; ++i) {
        QTest::qWait(
            10);  // the monitor threads' hand-overs reach this thread through the event loop
    }
    const auto alerts = OpenAlerts();
    ASSERT_EQ(alerts.size(), 2u);
    QStringList numbers;
    for (auto* alert : alerts) {
        numbers << alert->form.lblPhoneNumber->text();
        EXPECT_EQ(alert->windowTitle(), "Kestrine - Number Blocked");
        EXPECT_EQ(alert->size(), QSize(427, 153));
        EXPECT_FALSE(alert->windowFlags().testFlag(Qt::WindowCloseButtonHint));
        EXPECT_EQ(alert->form.lblBlockedBy->text(), "and has been blocked by the Kestrine");
        EXPECT_EQ(alert->form.Image1->pixmap().size(), QSize(60, 60));
        EXPECT_EQ(alert->form.btnAllow->toolTip(), "Allow this number to be dialled in future.");
    }
    numbers.sort();
    EXPECT_EQ(numbers, (QStringList{"0900111", "0900222"}));
    EXPECT_NE(Log().find(": 0900111 blocked\r\n"), std::string::npos);
    // Under the number, a line of our own on the program that dialled, as plain text.
    for (auto* alert : alerts) {
        const QLabel* line = alert->form.lblDialledBy;
        EXPECT_EQ(line->textFormat(), Qt::PlainText);
        EXPECT_GT(line->y(), alert->form.lblPhoneNumber->y());
        EXPECT_LT(line->y(), alert->form.lblBlockedBy->y());
        if (alert->form.lblPhoneNumber->text() == "0900111") {
            EXPECT_EQ(line->text(),
                      "dialled by /usr/bin/<b>picocom</b> (process 4242, user alice)");
        } else {
            EXPECT_EQ(line->text(), "dialled by an unknown program");
        }
    }
    const std::string log = Log();
    const auto blocked = log.find(": 0900111 blocked\r\n");
    const auto dialled = log.find(
        ": dialled by /usr/bin/<b>picocom</b> (process 4242, user alice), command line "
        "\"picocom\"\r\n");
    ASSERT_NE(dialled, std::string::npos) << log;
    EXPECT_EQ(log.find("\r\n", blocked + 1), log.rfind("\r\n", dialled)) << "the next line";
}

TEST_F(WindowTest, AlertButtons) {
    Start(test::Parental::Off, {"01234567890"});
    auto* alert = ui::ShowBlockedAlert("0900 333", "dialled by an unknown program", prompts,
                                       {[](auto) { return true; }, [](auto&) {}, [] {}});
    EXPECT_EQ(alert->focusWidget(), alert->form.btnOK) << "Enter presses OK";
    const std::string longLine = "dialled by /opt/" + std::string(200, 'x') + " (process 1)";
    auto* elided = ui::ShowBlockedAlert("0900 334", longLine, prompts,
                                        {[](auto) { return true; }, [](auto&) {}, [] {}});
    EXPECT_TRUE(elided->form.lblDialledBy->text().contains(QChar(0x2026)))
        << "shortened in the middle to fit";
    EXPECT_TRUE(elided->form.lblDialledBy->toolTip().contains(QString::fromStdString(longLine)));
    elided->form.btnOK->click();
    QTest::keyClick(alert, Qt::Key_Escape);
    EXPECT_TRUE(alert->isVisible()) << "Escape does nothing";
    // Neither does a close from the window manager (Alt+F4, its close button or menu).
    EXPECT_FALSE(alert->windowHandle()->close());
    EXPECT_FALSE(alert->close());
    EXPECT_TRUE(alert->isVisible());
    alert->form.btnOK->click();
    QApplication::processEvents();
    EXPECT_TRUE(OpenAlerts().empty());

    window->ShowBlockedAlert(" 0900 444", "dialled by an unknown program");
    ASSERT_EQ(OpenAlerts().size(), 1u);
    OpenAlerts()[0]->form.btnAllow->click();  // parental control off: no PIN
    QApplication::processEvents();
    EXPECT_TRUE(OpenAlerts().empty());
    EXPECT_EQ(Stored(), (std::vector<std::string>{"01234567890", " 0900 444"}))
        << "as the driver reported it";
    EXPECT_EQ(window->form.lstAllowed->count(), 2);
    EXPECT_NE(Log().find(":  0900 444 added to allow list.\r\n"), std::string::npos);
    EXPECT_EQ(access.device->AllowLists().size(), 2u);

    window->ShowBlockedAlert("0900555", "dialled by an unknown program");
    EXPECT_FALSE(window->isVisible());
    OpenAlerts()[0]->form.btnEdit->click();
    QApplication::processEvents();
    EXPECT_TRUE(OpenAlerts().empty());
    EXPECT_TRUE(window->isVisible()) << "Edit brings the main window up";
}

TEST_F(WindowTest, ADialWithoutANumberIsAlertedButCannotBeAllowed) {
    // A blank row that allowing a bare dial used to leave in the store.
    Start(test::Parental::Off, {""});
    ASSERT_EQ(access.device->AllowLists().size(), 1u);
    EXPECT_EQ(access.device->AllowLists().back(), (std::vector<std::uint8_t>{1, 0, 0, 0, 0}))
        << "the empty number is not sent";

    access.device->QueueEvent(1, monitor::EncodeNumberBlockedEvent(""));
    for (int i = 0; i < 500 && OpenAlerts().empty(); ++i) {
        QTest::qWait(10);
    }
    ASSERT_EQ(OpenAlerts().size(), 1u);
    auto* bare = OpenAlerts()[0];
    EXPECT_EQ(bare->form.lblPhoneNumber->text(), "") << "shown as reported";
    EXPECT_FALSE(bare->form.btnAllow->isEnabled());
    EXPECT_TRUE(bare->form.btnOK->isEnabled());
    EXPECT_TRUE(bare->form.btnEdit->isEnabled());
    bare->form.btnOK->click();

    window->ShowBlockedAlert("W,", "dialled by an unknown program");  // nothing that is dialled
    EXPECT_FALSE(OpenAlerts().at(0)->form.btnAllow->isEnabled());
    OpenAlerts()[0]->form.btnOK->click();

    window->ShowBlockedAlert("0900777", "dialled by an unknown program");
    OpenAlerts().at(0)->form.btnAllow->click();
    EXPECT_EQ(Stored(), (std::vector<std::string>{"", "0900777"}));
    EXPECT_EQ(monitor::ParseAllowListBuffer(access.device->AllowLists().back()),
              std::vector<std::string>{"0900777"})
        << "the next allowed number reaches the driver in a list it can read";
}

TEST_F(WindowTest, AlertsCascadeAndARepeatedNumberShowsItsLatestRefusal) {
    Start(test::Parental::Off);
    for (int i = 0; i < 16; ++i) {
        window->ShowBlockedAlert("0900" + std::to_string(100 + i),
                                 "dialled by program " + std::to_string(i));
    }
    const auto alerts = OpenAlerts();
    ASSERT_EQ(alerts.size(), 16u);
    const QRect free = alerts.front()->screen()->availableGeometry();
    std::set<std::pair<int, int>> places;
    for (const auto* alert : alerts) {
        places.emplace(alert->frameGeometry().x(), alert->frameGeometry().y());
        EXPECT_TRUE(free.contains(alert->frameGeometry())) << "on the screen";
    }
    EXPECT_EQ(places.size(), alerts.size()) << "no alert opens where another one lies";

    window->ShowBlockedAlert("0900105", "dialled by /usr/bin/wvdial (process 77)");
    ASSERT_EQ(OpenAlerts().size(), 16u) << "the number's alert comes to the front instead";
    for (auto* alert : OpenAlerts()) {
        if (alert->form.lblPhoneNumber->text() == "0900105") {
            EXPECT_TRUE(alert->form.lblDialledBy->toolTip().contains("wvdial (process 77)"))
                << "the latest refusal's dialler";
        }
        alert->form.btnOK->click();
    }
}

TEST_F(WindowTest, AnAlertThatCouldNotComeToTheFrontSendsADesktopNotification) {
    Start(test::Parental::Off);
    std::vector<std::pair<QString, QString>> notices;
    window->DesktopNotice = [&](const QString& title, const QString& text) {
        notices.emplace_back(title, text);
    };
    window->ShowBlockedAlert("0900<b>1", "dialled by /usr/bin/chat (process 9)");
    auto* alert = OpenAlerts().at(0);
    alert->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(alert));
    window->CheckAlertRaised(*alert);
    EXPECT_TRUE(notices.empty()) << "an alert in front needs no notification";

    window->Settings1Click();  // Kestrine's own window in front: the user is looking at it
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    window->CheckAlertRaised(*alert);
    EXPECT_TRUE(notices.empty());

    QWindow other;  // another program's window keeps the front
    other.resize(64, 64);
    other.show();
    other.requestActivate();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    window->CheckAlertRaised(*alert);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].first, "Kestrine - Number Blocked");
    EXPECT_EQ(
        notices[0].second,
        "Your computer has attempted to call: 0900<b>1\ndialled by /usr/bin/chat (process 9)");
}

TEST_F(WindowTest, TheReportedNumberIsShownAsPlainText) {
    Start(test::Parental::Off);
    window->ShowBlockedAlert("<u>XX", "dialled by an unknown program");  // a dial of ATD<u>XX
    const QLabel* label = OpenAlerts().at(0)->form.lblPhoneNumber;
    EXPECT_EQ(label->text(), "<u>XX");
    // Taken as markup it would show only an underlined "XX", and need only that much room.
    EXPECT_GE(label->sizeHint().width(), label->fontMetrics().horizontalAdvance("<u>XX"));
}

TEST_F(WindowTest, AllowBehindTheGate) {
    Start(test::Parental::On);
    window->ShowBlockedAlert("0900666", "dialled by an unknown program");
    auto* alert = OpenAlerts().at(0);
    prompts.ExpectAskPIN("", true, "0000")
        .ExpectCommonError("Invalid PIN.  You must enter the correct Pin to allow this number.");
    alert->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(alert));
    EXPECT_TRUE(alert->IsTopMost()) << "made top-most when it is activated";
    alert->form.btnAllow->click();
    EXPECT_TRUE(alert->isVisible());
    EXPECT_FALSE(alert->IsTopMost()) << "out of the top-most band until it is activated again";
    window->Settings1Click();  // activates the main window
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    alert->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(alert));
    EXPECT_TRUE(alert->IsTopMost());
    prompts.ExpectAskPIN("", false, "1234");
    alert->form.btnAllow->click();
    EXPECT_TRUE(alert->isVisible());
    EXPECT_TRUE(Stored().empty());
    prompts.ExpectAskPIN("", true, "1234");
    alert->form.btnAllow->click();
    QApplication::processEvents();
    EXPECT_EQ(Stored(), std::vector<std::string>{"0900666"});
}

TEST_F(WindowTest, TheLogTabLoadsWhenItComesOnScreen) {
    Start(test::Parental::Off);
    window->Core().Log.LogLine(std::string("port data \0 hidden no more", 26));
    window->ViewLog1Click();
    const QString shown = window->form.memLogfile->toPlainText();
    EXPECT_TRUE(shown.contains(QString("port data ") + QChar(0x2400) + " hidden no more"))
        << shown.toStdString();
    window->Core().Log.LogLine("later line");
    window->ViewLog1Click();  // already the selected tab: no reload
    EXPECT_FALSE(window->form.memLogfile->toPlainText().contains("later line"));
    window->form.PageControl1->setCurrentIndex(0);
    window->form.PageControl1->setCurrentIndex(1);
    EXPECT_TRUE(window->form.memLogfile->toPlainText().contains("later line"));

    prompts.ExpectConfirm("Are you sure you want to clear the log?", true);
    window->form.btnClear->click();
    const QString cleared = window->form.memLogfile->toPlainText().trimmed();
    EXPECT_TRUE(cleared.endsWith(": Log file cleared")) << cleared.toStdString();
    EXPECT_EQ(cleared.count('\n'), 0) << "one line";
}

// A dialler refusing in a loop: one alert per number, brought to the front again, and no more
// than the cap open at once; closing one makes room for the next number.
TEST_F(WindowTest, AFloodOfRefusalsOpensABoundedNumberOfAlerts) {
    Start(test::Parental::Off);
    for (int i = 0; i < 3; ++i) {
        window->ShowBlockedAlert("0900111", "dialled by an unknown program");
    }
    EXPECT_EQ(OpenAlerts().size(), 1u);
    for (int i = 0; i < 200; ++i) {
        window->ShowBlockedAlert("0900" + std::to_string(200000 + i),
                                 "dialled by an unknown program");
    }
    QApplication::processEvents();
    ASSERT_EQ(OpenAlerts().size(), TfrmMain::kMaxOpenAlerts);

    OpenAlerts()[0]->form.btnOK->click();
    QApplication::processEvents();
    window->ShowBlockedAlert("0900999", "dialled by an unknown program");
    EXPECT_EQ(OpenAlerts().size(), TfrmMain::kMaxOpenAlerts);
    bool shown = false;
    for (auto* alert : OpenAlerts()) {
        shown = shown || alert->form.lblPhoneNumber->text() == "0900999";
    }
    EXPECT_TRUE(shown);
}
