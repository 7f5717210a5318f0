#include "app/MainFormCore.h"

#include <algorithm>

#include "monitor/AllowListPush.h"
#include "monitor/PortTrouble.h"
#include "platform/Process.h"

namespace kestrine::app {

using Fault = monitor::ProtectionStatus::Fault;

MainFormCore::MainFormCore(MainFormEnvironment environment)
    : Log(environment.programDirectory),
      Status(Log),
      Losses(Log, Status),
      Link(monitor::MonitorServices{environment.handOver, Log, environment.alert,
                                    environment.messageBeep, environment.sleep,
                                    environment.lookSoon, [this] { Losses.EventLogged(); }},
           environment.driver),
      environment_(std::move(environment)) {}

MainFormCore::~MainFormCore() {
    FreeStore();
    StopMonitoring();
}

std::vector<std::string> MainFormCore::CreateStore() {
    NumberList = std::make_unique<numbers::TNumberList>(environment_.registry);
    Parental = std::make_unique<numbers::ParentalControl>(*NumberList, environment_.prompts, Log,
                                                          environment_.parentalControls);
    Editing = std::make_unique<numbers::AllowedListEditing>(
        *NumberList, *Parental, environment_.prompts, Log, environment_.allowedList,
        [this](std::span<const std::string> list) { SendAllowList(list); });
    LogTab = std::make_unique<LogView>(Log, *Parental, environment_.prompts, environment_.logMemo);
    return Editing->LoadListBox();
}

void MainFormCore::PrepareDriver() {
    if (!preparedOpening_.valid()) {
        preparedOpening_ = std::async(std::launch::async, &monitor::DriverLink::Open,
                                      std::ref(environment_.driver), Link.Message(), true);
    }
}

void MainFormCore::StartMonitoring() {
    platform::Randomize();
    Log.PrepareLog();
    Link.Reset();
    const auto opening = preparedOpening_.valid() ? preparedOpening_.get()
                                                  : monitor::DriverLink::Open(
                                                        environment_.driver, Link.Message(), false);
    Link.Take(opening);
    if (opening.ports) {
        Link.AdoptPorts(*opening.ports, opening.errors);
    } else {
        Link.AttachAllPorts();
    }
    SendStoredAllowList();
    monitoring_ = true;
    nextProbe_ = environment_.now() + kHealthCheck;  // it has just answered
    // What start-up could not bring up is told now, in one line; mending waits for the checks.
    Evaluate(false);
}

void MainFormCore::RestoreState() {
    ExitRequested = false;
    SessionEnding = false;
    if (Parental) {
        Parental->RestoreCheckBox();
    }
}

void MainFormCore::CheckProtection() {
    try {
        Evaluate(true);
    } catch (const std::exception&) {
        // A check in the background has nobody to tell; the next one looks again.
    }
}

void MainFormCore::Evaluate(bool mend) {
    // Not during start-up or shutdown, and never inside itself (a nested loop of a dialog opened
    // by an alert may run a check while one is under way).
    if (!monitoring_ || checking_) {
        return;
    }
    checking_ = true;
    try {
        CheckStore(mend);
        CheckDriver(mend);
        if (mend) {
            Losses.Retry();
        }
    } catch (...) {
        checking_ = false;
        throw;
    }
    checking_ = false;
}

void MainFormCore::CheckStore(bool mend) {
    if (!Editing) {
        return;
    }
    if (Editing->ListBoxRead() && mend && NumberList->CheckReadable() != platform::ERROR_SUCCESS) {
        // The store went away (or became unreadable) under a list that was read: what the list
        // box shows is no longer what is stored.
        Editing->LoadListBox();
    } else if (!Editing->ListBoxRead() && mend) {
        Editing->LoadListBox();
        if (Editing->ListBoxRead()) {
            // What could not be read before is true now: the check box and the driver's list.
            if (Parental) {
                Parental->RestoreCheckBox();
            }
            SendStoredAllowList();
        }
    }
    if (Editing->ListBoxRead()) {
        Status.Clear(Fault::Store);
    } else if (NumberList->LoadError() == platform::ERROR_PATH_NOT_FOUND) {
        Status.Report(Fault::Store, "the settings store is missing: run kestrine-setup to make it");
    } else {
        Status.Report(Fault::Store, "the settings store cannot be read: " +
                                        monitor::SystemErrorText(NumberList->LoadError()));
    }
}

void MainFormCore::CheckDriver(bool mend) {
    if (mend && environment_.now() >= nextProbe_) {
        nextProbe_ = environment_.now() + kHealthCheck;
        Link.Probe();
    }
    const auto noticed = Link.Health();
    if (noticed != platform::ERROR_SUCCESS) {
        // Told before any attempt to mend it: a driver brought back at once was still lost for a
        // while, and whatever was dialled meanwhile went unwatched.
        ReportDriverTrouble(noticed);
    }
    auto health = noticed;
    if (health != platform::ERROR_SUCCESS && health != platform::ERROR_TIMEOUT && mend &&
        environment_.now() >= nextAttempt_) {
        if (Link.Reconnect()) {
            SendStoredAllowList();
        }
        health = Link.Health();
        if (health != platform::ERROR_SUCCESS) {
            nextAttempt_ = environment_.now() + retry_;
            retry_ = std::min<std::chrono::steady_clock::duration>(retry_ * 2, kLongestRetry);
        }
    }
    if (health != platform::ERROR_SUCCESS) {
        ReportDriverTrouble(health);
        return;
    }
    if (driverTrouble_ == platform::ERROR_TIMEOUT) {
        // Whatever it was sent while it hung, it gets the stored list now.
        SendStoredAllowList();
    }
    driverTrouble_ = platform::ERROR_SUCCESS;
    nextAttempt_ = {};
    retry_ = kFirstRetry;
    Status.Clear(Fault::Driver);
    if (Link.AttachedPorts() == 0 && mend) {
        Link.AttachAllPorts();
        if (Link.AttachedPorts() > 0) {
            SendStoredAllowList();
        }
    }
    if (mend && Link.RetryRefusedPorts() > 0) {  // every second while any is refused
        SendStoredAllowList();  // as after any attach that start-up did not make
    }
    const auto refused = Link.RefusedPorts();
    if (!refused.empty()) {
        std::string reason;
        for (const int n : refused) {
            reason +=
                (reason.empty() ? "" : "; ") +
                monitor::DescribeAttachFailure(n, Link.AttachErrors[n],
                                               monitor::PortBackendText(environment_.registry, n));
        }
        Status.Report(Fault::Ports, reason);
    } else if (Link.AttachedPorts() == 0) {
        Status.Report(Fault::Ports,
                      "no COM port could be attached: the driver serves none of COM1 to COM16");
    } else {
        Status.Clear(Fault::Ports);
    }
}

void MainFormCore::ReportDriverTrouble(platform::Win32Error trouble) {
    // The first trouble of an episode names it: a driver that went away stays "stopped" while the
    // attempts to bring it back fail, each for its own reason.
    if (driverTrouble_ == platform::ERROR_SUCCESS ||
        (driverTrouble_ == platform::ERROR_TIMEOUT) != (trouble == platform::ERROR_TIMEOUT)) {
        driverTrouble_ = trouble;
        if (trouble == platform::ERROR_TIMEOUT) {
            // Waited for: a driver that hangs is not replaced behind its back.
            driverReason_ = "the monitoring driver does not answer";
        } else if (trouble == platform::ERROR_INVALID_HANDLE) {
            driverReason_ = "the monitoring driver could not be opened: " + Link.Message();
        } else {
            driverReason_ = "the monitoring driver has stopped";
        }
    }
    Status.Clear(Fault::Ports);
    Status.Report(Fault::Driver, driverReason_);
}

void MainFormCore::StopMonitoring() {
    monitoring_ = false;
    Link.DetachAllPorts();
    Link.CloseDriver();
    Log.CloseLog();
}

void MainFormCore::FreeStore() {
    LogTab.reset();
    Editing.reset();
    Parental.reset();
    NumberList.reset();
}

void MainFormCore::SendAllowList(std::span<const std::string> list) {
    monitor::SendAllowList(Link.DeviceHandle.get(), Log, list);
    LookSoonIfUnwell();
}

void MainFormCore::SendStoredAllowList() {
    if (NumberList) {
        monitor::SendStoredAllowList(Link.DeviceHandle.get(), Log, *NumberList);
        LookSoonIfUnwell();
    }
}

void MainFormCore::LookSoonIfUnwell() {
    // A look under way sees it anyway.
    if (!checking_ && Link.DeviceHandle && Link.Health() != platform::ERROR_SUCCESS) {
        environment_.lookSoon();
    }
}

}  // namespace kestrine::app
