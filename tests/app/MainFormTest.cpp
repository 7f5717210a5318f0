#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QFontInfo>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QThread>
#include <QTimer>
#include <memory>

#include "app/MainForm.h"
#include "numbers/NumberListClass.h"
#include "numbers/ui/DialogSupport.h"
#include "numbers/ui/GetPINForm.h"
#include "numbers/ui/NumberBlockedForm.h"
#include "platform/SystemRoot.h"
#include "tests/app/WindowFixture.h"
#include "tests/support/FakeMonitorDevice.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TempDir.h"
#include "tests/ui/ModalHelper.h"

// Stands in for the desktop's browser.
class UrlRecorder : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void Open(const QUrl& url) { urls << url; }
};

void PrintTo(const QRect& r, std::ostream* out) {
    *out << r.x() << "," << r.y() << " " << r.width() << "x" << r.height();
}

using namespace kestrine;
using namespace kestrine::app;
using namespace std::chrono_literals;

namespace {

constexpr const char* kExitQuestion =
    "Are you sure you want to close Kestrine.\r\n\r\nDialler blocking will stop?";

class MainFormTest : public test::WindowFixture {
protected:
    void SetUp() override {
        access.device = std::make_shared<test::FakeMonitorDevice>();
        access.device->SetAttachablePorts({1, 3});
    }

    bool Monitoring() const {
        return !access.device->IsClosed() && !access.device->AttachedPorts().empty();
    }
};

}  // namespace

TEST_F(MainFormTest, StartsHiddenWithTheTrayIconAndMonitoringUp) {
    Start(test::Parental::On, {"0800111222", "0123456789012"});
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(window->JvTrayIcon1.isVisible());
    EXPECT_EQ(window->JvTrayIcon1.toolTip(), "Tallowby Kestrine");
    EXPECT_EQ(settings.HelpFile.toStdString(), (programDir / "qdhelp.hlp").string());
    EXPECT_TRUE(std::filesystem::exists(programDir / "qdlog.log"))
        << "the log exists before any event";
    EXPECT_EQ(access.device->AttachedPorts(), (std::vector<int>{1, 3}));
    ASSERT_EQ(access.device->AllowLists().size(), 1u);
    EXPECT_EQ(access.device->AllowLists()[0].size(), 5u + 11 + 14);
    EXPECT_EQ(window->form.PageControl1->currentIndex(), 0);
    EXPECT_EQ(window->form.lstAllowed->count(), 2);
    EXPECT_TRUE(window->form.btnRemove->isEnabled());
    EXPECT_TRUE(window->form.chkParental->isChecked());
    EXPECT_TRUE(window->form.btnSetPIN->isEnabled());
    EXPECT_TRUE(prompts.Asked().empty()) << "start-up never asks for a PIN";
}

TEST_F(MainFormTest, WithoutTheDriverItStillStartsAndExits) {
    access.device.reset();
    Start(test::Parental::Off);
    EXPECT_FALSE(window->form.btnRemove->isEnabled());
    EXPECT_FALSE(window->form.btnSetPIN->isEnabled());
    prompts.ExpectConfirm(kExitQuestion, true);
    window->Exit1Click();
    EXPECT_EQ(quits, 1);
}

// Refusals the driver kept while Kestrine was not running come in a burst: one notice for all.
TEST_F(MainFormTest, RefusalsHandedOverLateGiveOneNotice) {
    Start(test::Parental::Off, {"0800111222"});
    for (int i = 0; i < 3; ++i) {
        window->NoteRefusedWhileAway();
    }
    QElapsedTimer clock;
    clock.start();
    while (window->LastLateNotice().isEmpty() && clock.elapsed() < 5000) {
        QTest::qWait(10);
    }
    EXPECT_EQ(window->LastLateNotice().toStdString(),
              "3 numbers were refused while Kestrine was not running; see the log");
    EXPECT_EQ(window->OpenAlerts(), 0u) << "no alert per number";
    window->NoteRefusedWhileAway();
    clock.restart();
    while (!window->LastLateNotice().startsWith("1 ") && clock.elapsed() < 5000) {
        QTest::qWait(10);
    }
    EXPECT_EQ(window->LastLateNotice().toStdString(),
              "1 number was refused while Kestrine was not running; see the log")
        << "counted afresh after a notice";
}

// Losing the driver is told on the tray icon and in the log, without a box, and protection comes
// back by itself once a driver can be opened again: ports attached, the stored list pushed.
TEST_F(MainFormTest, ALostDriverIsShownOnTheTrayIconAndProtectionComesBack) {
    Start(test::Parental::Off, {"0800111222"});
    EXPECT_TRUE(window->LastNotice().isEmpty()) << "a start that protects says nothing";
    auto old = access.device;
    access.device.reset();  // gone, and it cannot be started again for now
    old->Lose();
    const QString lost = "Kestrine is not protecting: the monitoring driver has stopped";
    QElapsedTimer clock;
    clock.start();
    while (window->LastNotice() != lost && clock.elapsed() < 5000) {
        QTest::qWait(10);
    }
    EXPECT_EQ(window->LastNotice().toStdString(), lost.toStdString());
    EXPECT_EQ(window->JvTrayIcon1.toolTip().toStdString(),
              "Tallowby Kestrine - not protecting: the monitoring driver has stopped");
    EXPECT_TRUE(prompts.Asked().empty()) << "no box";

    access.device = std::make_shared<test::FakeMonitorDevice>();
    access.device->SetAttachablePorts({3});
    while (window->LastNotice() == lost && clock.elapsed() < 10000) {
        QTest::qWait(10);
    }
    EXPECT_EQ(window->LastNotice().toStdString(), "Kestrine is protecting again");
    EXPECT_EQ(window->JvTrayIcon1.toolTip().toStdString(), "Tallowby Kestrine");
    EXPECT_EQ(access.device->AttachedPorts(), std::vector<int>{3});
    ASSERT_EQ(access.device->AllowLists().size(), 1u);
    EXPECT_EQ(access.device->AllowLists()[0].size(), 5u + 11);
    const std::string log = Log();
    EXPECT_NE(log.find(": " + lost.toStdString() + "\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find(": Kestrine is protecting again\r\n"), std::string::npos) << log;
}

TEST_F(MainFormTest, TheCloseButtonHidesAndKeepsMonitoringWithoutSaving) {
    Start(test::Parental::On, {"0800111222"});
    window->Settings1Click();
    window->form.lstAllowed->addItem("099999999999");
    EXPECT_FALSE(window->close());
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(Monitoring());
    EXPECT_EQ(quits, 0);
    EXPECT_EQ(numbers::TNumberList(Registry()).LoadNumbers().size(), 1u)
        << "closing does not save the list";
}

TEST_F(MainFormTest, HideButtonsSaveTheListThenHide) {
    Start(test::Parental::Off, {"0800111222"});
    for (QPushButton* hide : {window->form.btnHide, window->form.btnClose}) {
        window->Settings1Click();
        window->form.lstAllowed->addItem(QString("0999%1").arg(window->form.lstAllowed->count()) +
                                         "1234567");
        QTest::mouseClick(hide, Qt::LeftButton);
        EXPECT_FALSE(window->isVisible());
        EXPECT_EQ(numbers::TNumberList(Registry()).LoadNumbers().size(),
                  static_cast<std::size_t>(window->form.lstAllowed->count()));
    }
    EXPECT_EQ(access.device->AllowLists().size(), 1u) << "hiding does not send the list again";
}

TEST_F(MainFormTest, ExitPaths) {
    struct Row {
        std::string name;
        test::Parental parental;
        bool yes;
        std::optional<PinAnswer> pin;
        std::string error;
        bool exits;
    };
    const std::vector<Row> rows{
        {"No", test::Parental::On, false, std::nullopt, "", false},
        {"off: confirmation only", test::Parental::Off, true, std::nullopt, "", true},
        {"on: PIN cancelled", test::Parental::On, true, PinAnswer{false, "1234"},
         "Invalid PIN.  You must enter a Pin to closedown.", false},
        {"on: wrong PIN", test::Parental::On, true, PinAnswer{true, "4321"},
         "Invalid PIN.  You must enter the correct Pin to closedown.", false},
        {"on: right PIN", test::Parental::On, true, PinAnswer{true, "1234"}, "", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        quits = 0;
        Start(row.parental);
        window->Settings1Click();
        prompts.ExpectConfirm(kExitQuestion, row.yes);
        if (row.pin) {
            prompts.ExpectAskPIN("", row.pin->accepted, row.pin->pin);
        }
        if (!row.error.empty()) {
            prompts.ExpectCommonError(row.error);
        }
        window->Exit1Click();
        EXPECT_TRUE(prompts.Done());
        EXPECT_EQ(quits, row.exits ? 1 : 0);
        EXPECT_EQ(Monitoring(), !row.exits);
        EXPECT_EQ(window->isVisible(), !row.exits) << "a refused exit leaves the window as it was";
        EXPECT_FALSE(window->Core().ExitRequested);
    }
}

TEST_F(MainFormTest, SessionEndAsksNothingAndStopsMonitoringOnce) {
    Start(test::Parental::On);
    window->SessionEnding();
    EXPECT_TRUE(prompts.Asked().empty());
    EXPECT_EQ(quits, 1);
    EXPECT_TRUE(access.device->IsClosed());
    window.reset();  // FormDestroy runs the stop a third time
    EXPECT_EQ(access.device->RequestCount(monitor::IOCTL_MONITOR_DETACH_PORT), 2)
        << "COM1 and COM3, once each";
    ui::SetApplicationQuitting(false);
}

TEST_F(MainFormTest, ASessionEndWhileExitAsksStopsAtOnce) {
    struct Row {
        const char* name;
        test::Parental parental;
        const char* endsIn;  // the dialog open when the session ends
    };
    const Row rows[] = {
        {"during the question", test::Parental::Off, "Confirm"},
        {"during the PIN", test::Parental::On, "Get PIN"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        quits = 0;
        Start(row.parental, {}, /*realDialogs=*/true);
        window->Settings1Click();
        QString endedIn;
        auto endTheSession = [&](QWidget& dialog) {
            endedIn = dialog.windowTitle();
            window->SessionEnding();
            // Without the end reaching it, the dialog would wait here for ever.
            QTimer::singleShot(3000, &dialog,
                               [&dialog] { dynamic_cast<QDialog&>(dialog).reject(); });
        };
        if (row.parental == test::Parental::On) {
            test::WhenModalAppears([&](QWidget& question) {
                test::WhenModalAppears(endTheSession);
                QTest::keyClick(&question, Qt::Key_Return);  // Yes
            });
        } else {
            test::WhenModalAppears(endTheSession);
        }
        window->Exit1Click();
        EXPECT_EQ(endedIn, row.endsIn);
        EXPECT_EQ(quits, 1) << "the application ends";
        EXPECT_TRUE(access.device->IsClosed()) << "monitoring stopped";
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "no box after the end";
    }
}

TEST_F(MainFormTest, TrayMenuShowsTheRightTab) {
    Start(test::Parental::Off);
    const auto actions = window->PopupMenu1.actions();
    QStringList captions;
    for (auto* action : actions) {
        captions << (action->isSeparator() ? "-" : action->text());
    }
    EXPECT_EQ(captions, (QStringList{"&Settings", "&View Log", "-", "&Help", "-", "&Exit"}));
    // What a D-Bus menu makes of a caption (its first mark becomes the mnemonic): no host may
    // show a literal "&".
    for (const QString& caption : captions) {
        QString dbus = caption;
        dbus.replace(dbus.indexOf('&'), 1, '_');
        EXPECT_FALSE(dbus.contains('&')) << dbus.toStdString();
    }
    struct Row {
        const char* caption;
        const char* text;
    };
    for (const Row& row : {Row{"&E&xit", "&Exit"}, Row{"E&xit", "E&xit"},
                           Row{"A&&B &C&D", "A&&B &CD"}, Row{"Trailing&", "Trailing&"}}) {
        EXPECT_EQ(MenuText(row.caption).toStdString(), row.text) << row.caption;
    }
    EXPECT_EQ(window->PopupMenu1.defaultAction(), window->Settings1);

    window->Settings1->trigger();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->form.PageControl1->currentIndex(), 0);
    const QRect screen = window->screen()->availableGeometry();
    EXPECT_LE(std::abs(window->frameGeometry().center().x() - screen.center().x()), 2) << "centred";
    window->HideToTray();

    window->ViewLog1->trigger();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->form.PageControl1->currentIndex(), 1);
    window->HideToTray();

    window->JvTrayIcon1Activated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(window->isVisible()) << "a single click does nothing";
    window->JvTrayIcon1Activated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->form.PageControl1->currentIndex(), 1) << "the last tab stays selected";

    window->JvAppInstances1InstanceCreated(4242);
    EXPECT_TRUE(window->isVisible());
}

TEST_F(MainFormTest, WindowAndControlProperties) {
    Start(test::Parental::Off);
    window->Settings1Click();
    EXPECT_EQ(window->windowTitle(), "Kestrine 1.0");
    EXPECT_EQ(window->size(), QSize(298, 389));
    EXPECT_FALSE(window->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_FALSE(window->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_EQ(window->form.chkParental->text(), " Enabled");
    EXPECT_EQ(window->form.chkParental->toolTip(),
              "Enable Parental Control.  You muct set a PIN with parental control.");
    EXPECT_TRUE(window->form.memLogfile->isReadOnly());
    EXPECT_EQ(window->form.memLogfile->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(window->form.PageControl1->tabText(0), "Settings");
    EXPECT_EQ(window->form.PageControl1->tabText(1), "Log");
    // No task-bar entry of the window's own: the task bar shows the icon name, the application's
    // title, while the title bar keeps the caption.
    EXPECT_EQ(window->windowIconText(), "Tallowby Kestrine");
}

TEST_F(MainFormTest, UnderTheApplicationsLookTextsAreTahomaAndGroupBoxesHoldTheirControls) {
    if (!QFile::exists("/usr/share/wine/fonts/tahoma.ttf")) {
        GTEST_SKIP() << "fonts-wine (Tahoma) is not installed";
    }
    ui::SetUpApplicationLook();  // as the application starts: its style sheet on every window
    struct Restore {
        ~Restore() { qApp->setStyleSheet({}); }
    } restore;
    Start(test::Parental::Off);
    window->Settings1Click();

    // "Parental Control" is 77 or 78 pixels wide in Tahoma 8 pt (11 px); a control that misses
    // its window's font falls back to DejaVu Sans at 12 px, 96 pixels.
    const QFont title = window->form.GroupBox1->font();
    EXPECT_EQ(QFontInfo(title).family(), "Tahoma");
    const int width = QFontMetrics(title).horizontalAdvance("Parental Control");
    EXPECT_GE(width, 76);
    EXPECT_LE(width, 79);
    auto expectFonts = [](QWidget& top, int pixels) {
        for (QWidget* control : top.findChildren<QWidget*>()) {
            const QFontInfo info(control->font());
            if (info.family() != "Tahoma" ||
                (info.pixelSize() != pixels && !control->font().bold())) {
                ADD_FAILURE() << top.windowTitle().toStdString() << ": "
                              << control->objectName().toStdString() << " in "
                              << info.family().toStdString() << " " << info.pixelSize() << " px";
            }
        }
    };
    expectFonts(*window, 11);
    ui::TfrmGetPIN pin(prompts);
    pin.show();  // polished: the style sheet's fonts are in place
    expectFonts(pin, 13);
    EXPECT_TRUE(QFontInfo(pin.form.lblCaption->font()).bold()) << "the caption stays bold";
    pin.hide();
    auto* alert = ui::ShowBlockedAlert("0900", "dialled by an unknown program", prompts, {});
    EXPECT_EQ(QFontInfo(alert->form.btnOK->font()).pixelSize(), 11);
    EXPECT_EQ(QFontInfo(alert->form.Label1->font()).pixelSize(), 13);
    EXPECT_EQ(QFontInfo(alert->form.lblPhoneNumber->font()).pixelSize(), 21);
    EXPECT_EQ(QFontInfo(alert->form.lblPhoneNumber->font()).family(), "Tahoma");
    alert->btnOKClick();

    // As a Windows group box: the frame's top line runs through the title (drawn over it), and
    // every control lies inside the frame, below that line. Found on the screen: the first row,
    // right of the title, that is darker than the window's face above it.
    for (QGroupBox* group : window->findChildren<QGroupBox*>()) {
        SCOPED_TRACE(group->title().toStdString());
        const QImage image = group->grab().toImage();
        const QFontMetrics metrics(group->font());
        const int left = 8 + metrics.horizontalAdvance(group->title()) + 8;
        const int right = group->width() - 8;
        int line = -1;
        for (int y = 1; y < image.height() / 2 && line < 0; ++y) {
            int darker = 0;
            for (int x = left; x < right; ++x) {
                darker += qGray(image.pixel(x, y)) + 24 < qGray(image.pixel(x, 0)) ? 1 : 0;
            }
            line = darker * 10 > (right - left) * 8 ? y : -1;
        }
        EXPECT_GT(line, 0) << "a top line";
        EXPECT_LT(line, metrics.height()) << "at the title's height, not under it";
        for (QWidget* control : group->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            EXPECT_GT(control->geometry().top(), line + 2)
                << control->objectName().toStdString() << " crosses the frame's top line";
        }
    }
}

TEST_F(MainFormTest, TheStyleSheetGivesTheWindowTheButtonFaceColour) {
    QFile style(":/style/kestrine.qss");
    ASSERT_TRUE(style.open(QIODevice::ReadOnly));
    const QPalette before = QApplication::palette();
    QPalette palette = before;
    palette.setColor(QPalette::Button, QColor(200, 10, 10));  // apart from the window colour
    QApplication::setPalette(palette);
    Start(test::Parental::Off);
    window->setStyleSheet(window->styleSheet() + QString::fromUtf8(style.readAll()));
    window->Settings1Click();
    EXPECT_EQ(window->grab().toImage().pixelColor(2, 2), QColor(200, 10, 10))
        << "the rule for the window matches it";
    QApplication::setPalette(before);
}

TEST_F(MainFormTest, OnlyALeftClickOnTheBannerOpensTheWebSite) {
    Start(test::Parental::Off);
    window->Settings1Click();
    UrlRecorder opened;
    QDesktopServices::setUrlHandler("https", &opened, "Open");
    QLabel* banner = window->form.Image1;
    const QPoint on(10, 10);
    const QPoint off(-10, 10);
    struct Row {
        const char* what;
        Qt::MouseButton button;
        bool pressOnIt;
        QPoint release;
        int opens;
    };
    const Row rows[] = {
        {"left click", Qt::LeftButton, true, on, 1},
        {"right click", Qt::RightButton, true, on, 0},
        {"middle click", Qt::MiddleButton, true, on, 0},
        {"released elsewhere", Qt::LeftButton, true, off, 0},
        {"pressed elsewhere", Qt::LeftButton, false, on, 0},
    };
    for (const auto& row : rows) {
        opened.urls.clear();
        if (row.pressOnIt) {
            QTest::mousePress(banner, row.button, Qt::NoModifier, on);
        }
        QTest::mouseRelease(banner, row.button, Qt::NoModifier, row.release);
        EXPECT_EQ(opened.urls.size(), row.opens) << row.what;
    }
    EXPECT_EQ(opened.urls.value(0, QUrl(kMakerWebSite)), QUrl(kMakerWebSite));
    QDesktopServices::unsetUrlHandler("https");
}

TEST_F(MainFormTest, TheLateReadBeepSoundsOnTheUserInterfaceThread) {
    std::vector<bool> onUiThread;
    // The window asks for its beep through its setup, like the application's own.
    access.device->SetAttachablePorts({1});
    {
        numbers::TNumberList store(Registry());
        store.WriteParentalMarker(false, false);
    }
    window = std::make_unique<app::TfrmMain>(
        settings,
        app::MainFormSetup{
            programDir.Path(), Registry(), &access, &prompts, [this] { ++quits; },
            [&onUiThread] { onUiThread.push_back(QThread::currentThread() == qApp->thread()); }});
    ASSERT_TRUE(access.device->AwaitOutstandingWait(1, 5s));
    access.device->PendNextRead(1);
    access.device->QueueEvent(1, monitor::EncodeSimpleEvent(monitor::PortOpened));
    ASSERT_TRUE(access.device->AwaitOutstandingRead(1, 5s));
    ASSERT_TRUE(access.device->CompletePendingRead(1));
    for (int i = 0; i < 500 && onUiThread.empty(); ++i) {
        QTest::qWait(10);
    }
    EXPECT_EQ(onUiThread, std::vector<bool>{true});
}

TEST_F(MainFormTest, ControlsSitAtTheirPlacesAndFollowTheirAnchors) {
    Start(test::Parental::Off);
    window->Settings1Click();
    ASSERT_EQ(window->size(), QSize(298, 389));
    struct Row {
        QWidget* control;
        QRect atDesignSize;  // 298 x 389, in the parent's client area
        QRect grown;         // 100 pixels wider and higher
    };
    const auto& f = window->form;
    const Row rows[] = {
        {f.Panel1, {8, 8, 285, 45}, {8, 8, 285, 45}},
        {f.PageControl1, {8, 60, 281, 321}, {8, 60, 381, 421}},
        {f.GroupBox2, {8, 12, 255, 173}, {8, 12, 355, 273}},
        {f.txtAllowed, {16, 28, 223, 21}, {16, 28, 323, 21}},
        {f.lstAllowed, {16, 60, 223, 69}, {16, 60, 323, 169}},
        {f.btnAdd, {16, 137, 49, 25}, {16, 237, 49, 25}},
        {f.btnRemove, {72, 137, 49, 25}, {72, 237, 49, 25}},
        {f.GroupBox1, {8, 192, 255, 53}, {8, 292, 355, 53}},
        {f.chkParental, {20, 21, 65, 17}, {20, 21, 65, 17}},
        {f.btnSetPIN, {170, 17, 75, 25}, {270, 17, 75, 25}},
        {f.btnHide, {179, 258, 75, 25}, {279, 358, 75, 25}},
        {f.memLogfile, {8, 12, 255, 231}, {8, 12, 355, 331}},
        {f.btnClear, {20, 258, 75, 25}, {20, 358, 75, 25}},
        {f.btnClose, {179, 258, 75, 25}, {279, 358, 75, 25}},
    };
    for (const QSize size : {QSize(298, 389), QSize(398, 489)}) {
        window->resize(size);
        for (const int tab : {0, 1}) {
            SCOPED_TRACE(tab == 0 ? "Settings" : "Log");
            window->form.PageControl1->setCurrentIndex(tab);
            QApplication::processEvents();
            for (const auto& row : rows) {
                EXPECT_EQ(row.control->geometry(),
                          size.width() == 298 ? row.atDesignSize : row.grown)
                    << row.control->objectName().toStdString() << " at " << size.width();
            }
        }
    }
}

TEST_F(MainFormTest, EnterInTheNumberFieldPressesAdd) {
    Start(test::Parental::Off, {"0800111222"});
    window->Settings1Click();
    QTest::keyClicks(window->form.txtAllowed, "01234567890");
    QTest::keyClick(window->form.txtAllowed, Qt::Key_Return);
    EXPECT_EQ(window->Items(), (std::vector<std::string>{"0800111222", "01234567890"}));
    EXPECT_TRUE(window->form.txtAllowed->text().isEmpty());
}

TEST_F(MainFormTest, HelpOpensAtItsContentsAndF1AtTheWindowsTopic) {
    Start(test::Parental::Off);
    std::filesystem::copy_file(KESTRINE_HELP_FILE, programDir / "qdhelp.hlp");
    // The topic shown is the one at the top of the help window.
    auto topic = [&] {
        QTextBrowser* help = window->Help().Window();
        QApplication::processEvents();
        return help->cursorForPosition(QPoint(4, 4)).block().text().toStdString();
    };
    window->Help1->trigger();
    ASSERT_NE(window->Help().Window(), nullptr);
    EXPECT_TRUE(window->Help().Window()->isVisible());
    const QRect screen = window->Help().Window()->screen()->availableGeometry();
    EXPECT_LE(
        (window->Help().Window()->frameGeometry().center() - screen.center()).manhattanLength(), 4)
        << "the help window opens centred";
    EXPECT_EQ(topic(), "Kestrine") << "the contents";
    window->Help().Window()->hide();
    window->Settings1Click();
    QTest::keyClick(window.get(), Qt::Key_F1);
    EXPECT_TRUE(window->Help().Window()->isVisible());
    EXPECT_EQ(topic(), "The Kestrine window") << "context 2";
}

#include "MainFormTest.moc"
