#pragma once
// TfrmMain: the main window, its tray icon and menu. It owns everything monitoring needs (through
// MainFormCore) from its creation to its destruction; its handlers stay thin.
#include <QMenu>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/Anchors.h"
#include "app/HelpViewer.h"
#include "app/MainFormCore.h"
#include "app/TrayIcon.h"
#include "monitor/DriverLink.h"
#include "monitor/HandOverQueue.h"
#include "numbers/ParentalControl.h"
#include "numbers/Prompts.h"
#include "numbers/ui/NumberBlockedForm.h"
#include "platform/Registry.h"
#include "ui_MainForm.h"

namespace kestrine::app {

inline constexpr const char* kMakerWebSite = "https://www.tallowby.example/kestrine/";

// The application object's settings, made by the program entry.
struct ApplicationSettings {
    QString Title = "Tallowby Kestrine";
    QString HelpFile = "QDHELP.HLP";
    bool ShowMainForm = false;
};

// What the window is built on. Defaults are the real system: the executable's folder, the
// system root's registry and driver, real dialogs.
struct MainFormSetup {
    std::filesystem::path programDirectory;
    platform::Registry registry;
    monitor::DriverAccess* driver = nullptr;  // nullptr: the driver of the system root
    Prompts* prompts = nullptr;               // nullptr: real dialogs
    std::function<void()> quit;               // ends the application; empty: QCoreApplication::exit
    std::function<void()> beep;  // the system's default sound; empty: QApplication::beep
    static MainFormSetup System();
};

// A menu caption as every tray host reads it: one mnemonic mark, the first. A caption written with
// a mark on several letters ("&E&xit") reads "Exit" in Qt's own menus, but a D-Bus menu turns only
// its first mark into the mnemonic, and GTK hosts then show the others as a literal "&".
QString MenuText(const QString& caption);

// A notification through the desktop's notification service (org.freedesktop.Notifications),
// also where no tray icon is up.
void NotifyDesktop(const QString& title, const QString& text);

class TfrmMain : public QWidget,
                 public numbers::ParentalControls,
                 public numbers::AllowedListView,
                 public LogMemo,
                 public monitor::BlockedAlert {
    Q_OBJECT
public:
    // Builds the window (hidden), puts the tray icon in place and runs the window's creation,
    // which brings monitoring up.
    TfrmMain(ApplicationSettings& application, MainFormSetup setup);
    // FormDestroy: frees the store and stops monitoring (a no-op when it stopped already).
    ~TfrmMain() override;

    Ui::TfrmMain form;
    TrayIcon JvTrayIcon1;
    QMenu PopupMenu1;
    QAction* Settings1 = nullptr;
    QAction* ViewLog1 = nullptr;
    QAction* Help1 = nullptr;
    QAction* Exit1 = nullptr;

    MainFormCore& Core() { return *core_; }
    HelpViewer& Help() { return help_; }

    void ShowFromTray();
    void HideToTray();
    void ShowLogTab();
    void StopMonitoring() { core_->StopMonitoring(); }

    // Handlers.
    void Settings1Click();
    void ViewLog1Click();
    void Help1Click();
    void Exit1Click();
    void Image1Click();
    void btnHideClick();
    void btnCloseClick();
    void chkParentalClick();
    void btnSetPINClick();
    void btnAddClick();
    void btnRemoveClick();
    void btnClearClick();
    void TabSheet2Show();
    // The alert's Allow: stores, reloads, pushes and logs the number.
    void AllowNumber(const std::string& number);
    void JvAppInstances1InstanceCreated(qint64 processId);
    void JvTrayIcon1Activated(QSystemTrayIcon::ActivationReason reason);
    // The end of the session: stop without a question and end the application.
    void SessionEnding();

    // The close query: true when the window may close (monitoring has then stopped).
    bool FormCloseQuery();

    // Shows whether Kestrine protects: the tray icon's tooltip says why not, and each change
    // comes up as a notification of the tray icon (never a box: the driver's failures raise none).
    void ShowProtection(bool protecting, const std::string& reason);
    // The text of the last such notification, empty before the first.
    const QString& LastNotice() const { return lastNotice_; }
    // How often protection is looked at again (MainFormCore::CheckProtection): every second while
    // it is not whole, every few seconds while it is.
    static constexpr int kProtectionCheckMs = 1000;
    static constexpr int kHealthCheckMs =
        std::chrono::milliseconds(MainFormCore::kHealthCheck).count();

    // numbers::ParentalControls
    bool ParentalChecked() const override;
    void SetParentalChecked(bool checked) override;
    void SetSetPinEnabled(bool enabled) override;
    // numbers::AllowedListView
    std::string FieldText() const override;
    void SetFieldText(const std::string& text) override;
    void FocusField() override;
    std::vector<std::string> Items() const override;
    void SetItems(const std::vector<std::string>& items) override;
    void AppendItem(const std::string& item) override;
    void DeleteItem(int index) override;
    int SelectedIndex() const override;
    void Select(int index) override;
    void FocusList() override;
    void SetRemoveEnabled(bool enabled) override;
    // LogMemo
    bool SetLogText(const std::string& text) override;
    // monitor::BlockedAlert: an alert window for every refused number; a number whose alert is
    // still open brings that one to the front (the log names each dialler), and at most
    // kMaxOpenAlerts are open at once (every refusal is logged all the same), so that a dialler
    // refusing in a loop cannot exhaust memory.
    void ShowBlockedAlert(const std::string& number, const std::string& dialledBy) override;
    // Refusals handed over late come in a burst at the first attach: one notice for the burst,
    // once none has come for kLateNoticeDelayMs.
    void NoteRefusedWhileAway() override;
    static constexpr int kLateNoticeDelayMs = 500;
    const QString& LastLateNotice() const { return lastLateNotice_; }
    static constexpr std::size_t kMaxOpenAlerts = 16;
    std::size_t OpenAlerts();
    // A new alert that has not become the active window this long after it opened, while no
    // window of Kestrine is in front (a full-screen window keeps it behind, the compositor
    // refuses to raise it), asks for the user's attention
    // (the urgency hint) and sends a desktop notification, so that a refusal never goes unseen.
    static constexpr int kAlertRaiseCheckMs = 1500;
    void CheckAlertRaised(ui::TfrmBlocked& alert);
    // Sends a desktop notification (title, text); by default through org.freedesktop.Notifications.
    std::function<void(const QString&, const QString&)> DesktopNotice = NotifyDesktop;

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    void FormClose();
    void SetUpAnchors();
    void SetUpTray();
    void Guarded(const std::function<void()>& handler);
    void HideAfterSaving();

    ApplicationSettings& application_;
    std::filesystem::path programDirectory_;
    std::function<void()> quit_;
    std::function<void()> beep_;
    bool bannerPressed_ = false;  // a left press on the banner, waiting for its release
    std::unique_ptr<Prompts> ownPrompts_;
    Prompts* prompts_;
    std::unique_ptr<monitor::DriverAccess> ownDriver_;
    monitor::HandOverQueue handOver_;
    std::unique_ptr<MainFormCore> core_;
    Anchors anchors_;
    HelpViewer help_;
    bool shownBefore_ = false;
    QTimer protectionTimer_;
    QString lastNotice_;
    QTimer lateNotice_;
    std::size_t lateRefusals_ = 0;
    QString lastLateNotice_;
    std::map<std::string, QPointer<ui::TfrmBlocked>> openAlerts_;  // by number
    std::vector<QPointer<ui::TfrmBlocked>> alertOrder_;            // open ones, oldest first
};

}  // namespace kestrine::app
