#include "app/MainForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>
#include <QScrollBar>
#include <QTextDocument>
#include <QUrl>
#include <cstdio>
#include <utility>

#include "monitor/DriverUtil.h"
#include "monitor/EventDispatch.h"
#include "numbers/ui/DialogSupport.h"
#include "numbers/ui/NumberBlockedForm.h"
#include "numbers/ui/QtPrompts.h"
#include "platform/Process.h"
#include "platform/SystemRoot.h"

namespace kestrine::app {

namespace {

// Design sizes of what anchored controls follow (client areas at 96 dpi). The tab pages follow
// their tab control.
constexpr QSize kWindowClient(298, 389);
constexpr QSize kTabControl(281, 321);
constexpr QSize kAllowedGroup(255, 173);
constexpr QSize kParentalGroup(255, 53);

constexpr const char* kExitQuestion =
    "Are you sure you want to close Kestrine.\r\n\r\nDialler blocking will stop?";

}  // namespace

QString MenuText(const QString& caption) {
    QString text;
    bool marked = false;
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == u'&' && i + 1 < caption.size()) {
            if (caption[i + 1] == u'&') {
                text += QStringLiteral("&&");
                ++i;
                continue;
            }
            if (marked) {
                continue;  // a second mark: the letter stays, its mark goes
            }
            marked = true;
        }
        text += caption[i];
    }
    return text;
}

void NotifyDesktop(const QString& title, const QString& text) {
    QDBusMessage notify = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                         "/org/freedesktop/Notifications",
                                                         "org.freedesktop.Notifications", "Notify");
    QVariantMap hints;
    hints.insert("urgency", QVariant::fromValue(static_cast<uchar>(2)));  // critical
    notify << QStringLiteral("Kestrine") << 0u << QStringLiteral("kestrine") << title
           << text.toHtmlEscaped() << QStringList() << hints << -1;
    QDBusConnection::sessionBus().call(notify, QDBus::NoBlock);
}

MainFormSetup MainFormSetup::System() {
    return MainFormSetup{
        platform::ExecutableDirectory(), platform::Registry::System(), nullptr, nullptr, {}, {}};
}

TfrmMain::TfrmMain(ApplicationSettings& application, MainFormSetup setup)
    : application_(application),
      programDirectory_(setup.programDirectory),
      // exit(), not quit(): quit() first asks every window to close, and an open alert refuses.
      // exit() also ends the loop of any dialog that is open at that moment.
      quit_(setup.quit ? setup.quit : [] { QCoreApplication::exit(0); }),
      beep_(setup.beep ? setup.beep : [] { QApplication::beep(); }),
      handOver_([this] {
          QMetaObject::invokeMethod(
              this, [this] { handOver_.ServePending(); }, Qt::QueuedConnection);
      }) {
    if (setup.prompts == nullptr) {
        ownPrompts_ = std::make_unique<ui::QtPrompts>(this);
        setup.prompts = ownPrompts_.get();
    }
    prompts_ = setup.prompts;
    if (setup.driver == nullptr) {
        ownDriver_ = std::make_unique<monitor::DriverUtil>(monitor::DriverUtil::System());
        setup.driver = ownDriver_.get();
    }
    core_ = std::make_unique<MainFormCore>(MainFormEnvironment{
        setup.programDirectory, setup.registry, *setup.driver, handOver_, *this, *prompts_, *this,
        *this, *this,
        // Asked for by a monitor thread after a late read. Qt's beep is for the user-interface
        // thread only, so it is posted there; the monitor thread does not wait for it.
        [this] {
            QMetaObject::invokeMethod(
                this, [this] { beep_(); }, Qt::QueuedConnection);
        },
        [](unsigned ms) { platform::SleepMs(ms); },
        // A monitor thread left on its own, or a request left unanswered: look at once.
        [this] {
            QMetaObject::invokeMethod(
                this, [this] { core_->CheckProtection(); }, Qt::QueuedConnection);
        }});
    core_->Status.SetListener([this](bool protecting, const std::string& reason) {
        ShowProtection(protecting, reason);
        // Looked at every second while something is missing. A protected Kestrine looks only
        // every few seconds: what takes protection away mostly tells at once (a monitor thread
        // that ends, a request the driver leaves unanswered), but a driver that hangs while
        // nothing is asked of it tells nobody.
        protectionTimer_.setInterval(protecting ? kHealthCheckMs : kProtectionCheckMs);
    });

    // The driver's start and the ports' attach wait for another process: they run while the
    // window is built, and FormCreate takes what they came to.
    core_->PrepareDriver();

    ui::LoadApplicationFonts();
    // The style sheet gives the window by this name the button-face colour; a widget class of our
    // own paints a style sheet's background only when asked to.
    setObjectName("frmMain");
    setAttribute(Qt::WA_StyledBackground);
    form.setupUi(this);
    setFont(ui::TahomaPixels(11));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowIcon(QIcon(":/art/icon.png"));
    // The task bar shows the icon name: it reads the application's title, as the application's
    // own button does, while the title bar keeps the window's caption.
    setWindowIconText(application_.Title);
    resize(kWindowClient);
    form.Image1->setPixmap(QPixmap(":/art/banner.png"));
    form.Image1->installEventFilter(this);
    // Tabs of 21 x 60 pixels, and a check box whose caption fits its 65 pixels as laid out.
    setStyleSheet(
        "QTabBar::tab { height: 21px; width: 60px; padding: 0px; }"
        "QCheckBox { spacing: 0px; } QCheckBox::indicator { width: 12px; height: 12px; }");
    form.lstAllowed->setSelectionMode(QAbstractItemView::SingleSelection);
    SetUpAnchors();

    connect(form.btnHide, &QPushButton::clicked, this, &TfrmMain::btnHideClick);
    connect(form.btnClose, &QPushButton::clicked, this, &TfrmMain::btnCloseClick);
    connect(form.chkParental, &QCheckBox::toggled, this, &TfrmMain::chkParentalClick);
    connect(form.btnSetPIN, &QPushButton::clicked, this, &TfrmMain::btnSetPINClick);
    connect(form.btnAdd, &QPushButton::clicked, this, &TfrmMain::btnAddClick);
    connect(form.btnRemove, &QPushButton::clicked, this, &TfrmMain::btnRemoveClick);
    connect(form.btnClear, &QPushButton::clicked, this, &TfrmMain::btnClearClick);
    connect(form.PageControl1, &QTabWidget::currentChanged, this, [this](int index) {
        if (index == 1) {
            TabSheet2Show();
        }
    });
    form.txtAllowed->installEventFilter(this);  // txtAllowedKeyPress
    // The field's hint says "click Add"; Enter in it does the same.
    connect(form.txtAllowed, &QLineEdit::returnPressed, this, &TfrmMain::btnAddClick);

    lateNotice_.setSingleShot(true);
    connect(&lateNotice_, &QTimer::timeout, this, [this] {
        lastLateNotice_ =
            ui::ToQt(monitor::RefusedWhileAwayNotice(std::exchange(lateRefusals_, 0)));
        JvTrayIcon1.showMessage(application_.Title, lastLateNotice_, QSystemTrayIcon::Warning);
    });

    // The tray icon goes up while the window's parts are made, before the window's creation.
    SetUpTray();
    FormCreate();

    protectionTimer_.setInterval(core_->Status.Protecting() ? kHealthCheckMs : kProtectionCheckMs);
    connect(&protectionTimer_, &QTimer::timeout, this, [this] { core_->CheckProtection(); });
    protectionTimer_.start();
}

TfrmMain::~TfrmMain() {
    core_->FreeStore();
    core_->StopMonitoring();
}

void TfrmMain::SetUpAnchors() {
    QWidget* const tabs = form.PageControl1;
    anchors_.Add(form.Panel1, AnchorLeft | AnchorTop, this, kWindowClient);
    anchors_.Add(form.PageControl1, AnchorAll, this, kWindowClient);
    anchors_.Add(form.GroupBox2, AnchorAll, tabs, kTabControl);
    anchors_.Add(form.GroupBox1, AnchorLeft | AnchorRight | AnchorBottom, tabs, kTabControl);
    anchors_.Add(form.btnHide, AnchorRight | AnchorBottom, tabs, kTabControl);
    anchors_.Add(form.txtAllowed, AnchorLeft | AnchorTop | AnchorRight, form.GroupBox2,
                 kAllowedGroup);
    anchors_.Add(form.lstAllowed, AnchorAll, form.GroupBox2, kAllowedGroup);
    anchors_.Add(form.btnAdd, AnchorLeft | AnchorBottom, form.GroupBox2, kAllowedGroup);
    anchors_.Add(form.btnRemove, AnchorLeft | AnchorBottom, form.GroupBox2, kAllowedGroup);
    anchors_.Add(form.chkParental, AnchorLeft | AnchorTop, form.GroupBox1, kParentalGroup);
    anchors_.Add(form.btnSetPIN, AnchorTop | AnchorRight, form.GroupBox1, kParentalGroup);
    anchors_.Add(form.memLogfile, AnchorAll, tabs, kTabControl);
    anchors_.Add(form.btnClear, AnchorLeft | AnchorBottom, tabs, kTabControl);
    anchors_.Add(form.btnClose, AnchorRight | AnchorBottom, tabs, kTabControl);
}

void TfrmMain::SetUpTray() {
    Settings1 = PopupMenu1.addAction("&Settings", this, &TfrmMain::Settings1Click);
    ViewLog1 = PopupMenu1.addAction("&View Log", this, &TfrmMain::ViewLog1Click);
    PopupMenu1.addSeparator()->setObjectName("N1");
    Help1 = PopupMenu1.addAction("&Help", this, &TfrmMain::Help1Click);
    PopupMenu1.addSeparator()->setObjectName("N2");
    Exit1 = PopupMenu1.addAction(MenuText("&E&xit"), this, &TfrmMain::Exit1Click);
    Settings1->setObjectName("Settings1");
    ViewLog1->setObjectName("ViewLog1");
    Help1->setObjectName("Help1");
    Exit1->setObjectName("Exit1");
    PopupMenu1.setDefaultAction(Settings1);  // drawn in bold

    JvTrayIcon1.setIcon(QIcon(":/art/icon.png"));
    JvTrayIcon1.setToolTip(application_.Title);
    JvTrayIcon1.setContextMenu(&PopupMenu1);
    connect(&JvTrayIcon1, &TrayIcon::activated, this, &TfrmMain::JvTrayIcon1Activated);
    // Without a tray host the window stays reachable: a second start brings it up.
    JvTrayIcon1.show([this] {
        constexpr const char* kNoTray =
            "No system tray to show the icon in; it appears when one starts. Start Kestrine "
            "again to bring its window up.";
        std::fprintf(stderr, "kestrine: %s\n", kNoTray);
        core_->Log.LogLine(kNoTray);
    });
}

void TfrmMain::FormCreate() {
    application_.HelpFile = QString::fromStdString((programDirectory_ / "qdhelp.hlp").string());
    core_->CreateStore();  // fills the list box
    SetRemoveEnabled(form.lstAllowed->count() > 0);
    form.PageControl1->setCurrentIndex(0);
    core_->StartMonitoring();
    core_->RestoreState();
}

void TfrmMain::Guarded(const std::function<void()>& handler) {
    RunUserAction(*prompts_, handler);
}

void TfrmMain::ShowFromTray() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    if (!shownBefore_) {
        shownBefore_ = true;
        ui::CentreOnScreen(*this);
    }
    show();
    raise();
    activateWindow();
}

void TfrmMain::HideToTray() {
    hide();
}

void TfrmMain::ShowLogTab() {
    ShowFromTray();
    form.PageControl1->setCurrentIndex(1);
}

void TfrmMain::Settings1Click() {
    ShowFromTray();
}
void TfrmMain::ViewLog1Click() {
    ShowLogTab();
}

void TfrmMain::Help1Click() {
    help_.Show(application_.HelpFile, HELP_CONTENTS, 0);
}

void TfrmMain::Exit1Click() {
    core_->ExitRequested = true;
    close();
}

void TfrmMain::Image1Click() {
    QDesktopServices::openUrl(QUrl(kMakerWebSite));
}

void TfrmMain::HideAfterSaving() {
    Guarded([this] {
        core_->Editing->SaveListBox();
        HideToTray();
    });
}

void TfrmMain::ShowProtection(bool protecting, const std::string& reason) {
    // The shell shows at most 127 characters of a tooltip.
    constexpr int kTooltipLength = 127;
    const QString title = application_.Title;
    const QString why = ui::ToQt(reason);
    JvTrayIcon1.setToolTip(protecting ? title
                                      : (title + " - not protecting: " + why).left(kTooltipLength));
    lastNotice_ = protecting ? QStringLiteral("Kestrine is protecting again")
                             : "Kestrine is not protecting: " + why;
    JvTrayIcon1.showMessage(title, lastNotice_,
                            protecting ? QSystemTrayIcon::Information : QSystemTrayIcon::Warning);
}

void TfrmMain::NoteRefusedWhileAway() {
    ++lateRefusals_;
    lateNotice_.start(kLateNoticeDelayMs);
}

void TfrmMain::btnHideClick() {
    HideAfterSaving();
}
void TfrmMain::btnCloseClick() {
    HideAfterSaving();
}

void TfrmMain::chkParentalClick() {
    if (core_->Parental) {
        Guarded([this] { core_->Parental->chkParentalClick(); });
    }
}

void TfrmMain::btnSetPINClick() {
    Guarded([this] { core_->Parental->btnSetPINClick(); });
}

void TfrmMain::JvAppInstances1InstanceCreated(qint64) {
    ShowFromTray();
}

void TfrmMain::JvTrayIcon1Activated(QSystemTrayIcon::ActivationReason reason) {
    // A double click with the left button runs the menu's default item; a single click nothing.
    if (reason == QSystemTrayIcon::DoubleClick) {
        PopupMenu1.defaultAction()->trigger();
    }
}

void TfrmMain::SessionEnding() {
    // Whatever is open at this moment (the Exit question, a PIN dialog, a message box) answers as
    // refused, and no box is shown any more.
    ui::SetApplicationQuitting(true);
    core_->SessionEnding = true;
    // The close query is run here rather than through close(): a close made while the Exit
    // question is open would be refused, the window being in its close already.
    if (FormCloseQuery()) {
        FormClose();
        quit_();
    }
}

bool TfrmMain::FormCloseQuery() {
    if (core_->SessionEnding) {
        core_->StopMonitoring();
        return true;
    }
    if (!core_->ExitRequested) {
        HideToTray();
        return false;
    }
    if (!prompts_->Confirm(kExitQuestion)) {
        core_->ExitRequested = false;
        return false;
    }
    core_->ExitRequested = false;
    core_->SessionEnding = false;
    bool canClose = false;
    Guarded([&] {
        if (core_->Parental->PassPinGate(numbers::GatedAction::CloseQuery)) {
            core_->StopMonitoring();
            canClose = true;
        }
    });
    return canClose;
}

void TfrmMain::FormClose() {
    core_->StopMonitoring();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
    // The main window is closed: the application ends.
    quit_();
}

void TfrmMain::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        help_.Show(application_.HelpFile, HELP_CONTEXT, 2);
        return;
    }
    QWidget::keyPressEvent(event);
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
    // Image1Click: a click is a left press and a left release, both on the banner.
    if (watched == form.Image1 && (event->type() == QEvent::MouseButtonPress ||
                                   event->type() == QEvent::MouseButtonRelease)) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::LeftButton) {
            const bool pressed = std::exchange(bannerPressed_, false);
            if (event->type() == QEvent::MouseButtonPress) {
                bannerPressed_ = true;
            } else if (pressed && form.Image1->rect().contains(mouse->position().toPoint())) {
                Image1Click();
            }
        }
        return true;
    }
    // txtAllowedKeyPress: typed characters only; text pasted into the field is not filtered.
    // Editing keys work as in any field, also where they carry a control character as their
    // text (X11 gives Delete the text U+007F).
    if (watched == form.txtAllowed && event->type() == QEvent::KeyPress) {
        const QString typed = static_cast<QKeyEvent*>(event)->text();
        for (const QChar c : typed) {
            if (c.isPrint() &&
                (c.unicode() > 0x7F || !numbers::AllowedListEditing::KeyFilterAccepts(
                                           static_cast<unsigned char>(c.unicode())))) {
                return true;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool TfrmMain::ParentalChecked() const {
    return form.chkParental->isChecked();
}
void TfrmMain::SetParentalChecked(bool checked) {
    form.chkParental->setChecked(checked);
}
void TfrmMain::SetSetPinEnabled(bool enabled) {
    form.btnSetPIN->setEnabled(enabled);
}

void TfrmMain::btnAddClick() {
    Guarded([this] { core_->Editing->btnAddClick(); });
}

void TfrmMain::btnRemoveClick() {
    Guarded([this] { core_->Editing->btnRemoveClick(); });
}

void TfrmMain::btnClearClick() {
    Guarded([this] { core_->LogTab->btnClearClick(); });
}

void TfrmMain::TabSheet2Show() {
    if (core_->LogTab) {
        core_->LogTab->TabSheet2Show();
    }
}

void TfrmMain::AllowNumber(const std::string& number) {
    core_->Editing->AllowNumber(number);
}

std::string TfrmMain::FieldText() const {
    return ui::FromQt(form.txtAllowed->text());
}
void TfrmMain::SetFieldText(const std::string& text) {
    form.txtAllowed->setText(ui::ToQt(text));
}
void TfrmMain::FocusField() {
    form.txtAllowed->setFocus();
}

std::vector<std::string> TfrmMain::Items() const {
    std::vector<std::string> items;
    for (int i = 0; i < form.lstAllowed->count(); ++i) {
        items.push_back(ui::FromQt(form.lstAllowed->item(i)->text()));
    }
    return items;
}

void TfrmMain::SetItems(const std::vector<std::string>& items) {
    form.lstAllowed->clear();
    for (const auto& item : items) {
        form.lstAllowed->addItem(ui::ToQt(item));
    }
}

void TfrmMain::AppendItem(const std::string& item) {
    form.lstAllowed->addItem(ui::ToQt(item));
}
void TfrmMain::DeleteItem(int index) {
    delete form.lstAllowed->takeItem(index);
}

int TfrmMain::SelectedIndex() const {
    const auto selected = form.lstAllowed->selectedItems();
    return selected.isEmpty() ? -1 : form.lstAllowed->row(selected.first());
}

void TfrmMain::Select(int index) {
    form.lstAllowed->setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
}
void TfrmMain::FocusList() {
    form.lstAllowed->setFocus();
}
void TfrmMain::SetRemoveEnabled(bool enabled) {
    form.btnRemove->setEnabled(enabled);
}

bool TfrmMain::SetLogText(const std::string& text) {
    // The whole file is shown: a NUL that port data put into it becomes a visible mark instead of
    // hiding everything after it.
    QString shown = ui::ToQt(text);
    shown.replace(QChar(u'\0'), QChar(0x2400));
    form.memLogfile->setPlainText(shown);
    form.memLogfile->moveCursor(QTextCursor::Start);
    form.memLogfile->verticalScrollBar()->setValue(0);
    return true;
}

std::size_t TfrmMain::OpenAlerts() {
    std::erase_if(openAlerts_, [](const auto& entry) { return entry.second.isNull(); });
    return openAlerts_.size();
}

void TfrmMain::ShowBlockedAlert(const std::string& number, const std::string& dialledBy) {
    if (ui::ApplicationQuitting()) {
        return;  // the session ends: no new window, the refusal is logged all the same
    }
    const std::size_t open = OpenAlerts();
    if (const auto found = openAlerts_.find(number); found != openAlerts_.end()) {
        // The alert tells of the latest refusal: who dialled this time.
        found->second->SetDialledBy(dialledBy);
        found->second->raise();
        found->second->activateWindow();
        return;
    }
    if (open >= kMaxOpenAlerts) {
        return;
    }
    // The newest alert still open: the next one opens offset from it.
    std::erase_if(alertOrder_, [](const auto& alert) { return alert.isNull(); });
    const QWidget* previous = alertOrder_.empty() ? nullptr : alertOrder_.back().data();
    auto* alert = ui::ShowBlockedAlert(
        number, dialledBy, *prompts_,
        {[this](numbers::GatedAction action) { return core_->Parental->PassPinGate(action); },
         [this](const std::string& allowed) { AllowNumber(allowed); }, [this] { ShowFromTray(); }},
        previous);
    openAlerts_[number] = alert;
    alertOrder_.emplace_back(alert);
    QTimer::singleShot(kAlertRaiseCheckMs, alert, [this, alert] { CheckAlertRaised(*alert); });
}

void TfrmMain::CheckAlertRaised(ui::TfrmBlocked& alert) {
    // Another window of Kestrine in front (a newer alert, the main window) is the user looking
    // at Kestrine: nothing to ask for, and window managers would give every urgent alert a
    // task-bar entry.
    if (alert.isActiveWindow() || !alert.isVisible() || QApplication::activeWindow() != nullptr) {
        return;
    }
    QApplication::alert(&alert);
    QString text = "Your computer has attempted to call: " + alert.form.lblPhoneNumber->text();
    if (const QString dialler = alert.form.lblDialledBy->toolTip(); !dialler.isEmpty()) {
        // The tooltip holds the whole line, escaped inside rich text.
        QTextDocument line;
        line.setHtml(dialler);
        text += "\n" + line.toPlainText();
    }
    DesktopNotice(alert.windowTitle(), text);
}

}  // namespace kestrine::app
