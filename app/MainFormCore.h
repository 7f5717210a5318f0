#pragma once
// The part of the main window that has no widgets: it owns the settings store, the log, the link
// to the driver and parental control, brings monitoring up in its fixed order and takes it down
// again. TfrmMain owns one and stays a thin set of handlers over it.
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/LogView.h"
#include "log/LogOwner.h"
#include "monitor/DriverLink.h"
#include "monitor/EventDispatch.h"
#include "monitor/HandOverQueue.h"
#include "monitor/LogLosses.h"
#include "monitor/ProtectionStatus.h"
#include "numbers/AllowedListEditing.h"
#include "numbers/NumberListClass.h"
#include "numbers/ParentalControl.h"
#include "numbers/Prompts.h"
#include "platform/Registry.h"

namespace kestrine::app {

struct MainFormEnvironment {
    std::filesystem::path programDirectory;  // where the log file lies
    platform::Registry registry;             // the store's registry
    monitor::DriverAccess& driver;
    monitor::HandOverQueue& handOver;
    monitor::BlockedAlert& alert;
    Prompts& prompts;
    numbers::ParentalControls& parentalControls;
    numbers::AllowedListView& allowedList;
    LogMemo& logMemo;
    std::function<void()> messageBeep = [] {};
    std::function<void(unsigned milliseconds)> sleep = [](unsigned) {};
    // A monitor thread left on its own (see MonitorServices::threadEnded), or a request the
    // driver left unanswered: the window runs CheckProtection soon after, on the user-interface
    // thread. Called from any thread.
    std::function<void()> lookSoon = [] {};
    std::function<std::chrono::steady_clock::time_point()> now = std::chrono::steady_clock::now;
};

class MainFormCore {
public:
    explicit MainFormCore(MainFormEnvironment environment);
    // Frees the store, then stops monitoring (a no-op when it already stopped).
    ~MainFormCore();
    MainFormCore(const MainFormCore&) = delete;
    MainFormCore& operator=(const MainFormCore&) = delete;

    log::LogOwner Log;
    // Whether Kestrine protects right now, and why not; the window shows it.
    monitor::ProtectionStatus Status;
    // Events whose lines the log could not take.
    monitor::LogLosses Losses;
    monitor::DriverLink Link;
    std::unique_ptr<numbers::TNumberList> NumberList;
    std::unique_ptr<numbers::ParentalControl> Parental;
    std::unique_ptr<numbers::AllowedListEditing> Editing;
    std::unique_ptr<LogView> LogTab;

    bool ExitRequested = false;
    bool SessionEnding = false;

    // Window creation, step 2: creates the store (and what works on it); returns its numbers for
    // the list box.
    std::vector<std::string> CreateStore();
    // Window creation, steps 4 to 9: seed the random generator, prepare the log, reset the
    // driver link, open the driver (installing it when needed), attach COM1..COM16 with a monitor
    // thread each, and send the stored allowed list.
    void StartMonitoring();
    // Takes the steps of opening the driver (starting it where needed) and the attach requests
    // for COM1..COM16 on another thread at once, so that the wait for the driver's process
    // overlaps the building of the window; the next StartMonitoring logs and keeps what they
    // came to and starts the monitor threads, as if it had taken the steps itself.
    void PrepareDriver();
    // Steps 10 to 12: clear the exit flags and restore the parental-control check box.
    void RestoreState();
    // Looks again at what protection needs, reports what is missing (Status) and mends what it
    // can: a store that can be read again fills the list box and goes to the driver; a driver
    // that went away is opened again (started through the service layer where this user may,
    // else found when its service manager has restarted it), its ports attached and the stored
    // list pushed; ports that all refused are offered again. A driver that does not answer is
    // waited for. The window runs it when a monitor thread left or a request went unanswered,
    // and on a timer whatever the state (every second while protection is not whole, every
    // kHealthCheck while it is); at most every kHealthCheck it asks the driver something
    // (DriverLink::Probe), so that a driver that hangs while idle is found too. It does nothing
    // outside monitoring (before start-up's end and after StopMonitoring).
    void CheckProtection();
    // Detach every port (stopping its thread), close the device, close the log. Safe to repeat.
    void StopMonitoring();
    void FreeStore();

    void SendAllowList(std::span<const std::string> list);
    void SendStoredAllowList();

    // Between two attempts to bring a lost driver back: from one second, doubling after each
    // failed attempt, up to ten.
    static constexpr std::chrono::seconds kFirstRetry{1};
    static constexpr std::chrono::seconds kLongestRetry{10};
    // How often a protected Kestrine looks at its driver.
    static constexpr std::chrono::seconds kHealthCheck{3};

private:
    // After a request: a driver found gone or hanging asks for a look (see lookSoon).
    void LookSoonIfUnwell();
    void Evaluate(bool mend);
    void CheckStore(bool mend);
    void CheckDriver(bool mend);
    void ReportDriverTrouble(platform::Win32Error trouble);

    MainFormEnvironment environment_;
    bool monitoring_ = false;
    bool checking_ = false;
    platform::Win32Error driverTrouble_ = platform::ERROR_SUCCESS;
    std::string driverReason_;
    std::chrono::steady_clock::time_point nextAttempt_{};
    std::chrono::steady_clock::time_point nextProbe_{};
    std::chrono::steady_clock::duration retry_ = kFirstRetry;
    // Last: its end waits for steps still under way, which use environment_.
    std::future<monitor::DriverLink::Opening> preparedOpening_;
};

}  // namespace kestrine::app
