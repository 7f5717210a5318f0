#include "app/MainFormCore.h"

#include "monitor/AllowListPush.h"
#include "platform/Process.h"

namespace kestrine::app {

MainFormCore::MainFormCore(MainFormEnvironment environment)
    : Log(environment.programDirectory),
      Link(monitor::MonitorServices{environment.handOver, Log, environment.alert,
                                    environment.messageBeep, environment.sleep},
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
    return NumberList->LoadNumbers();
}

void MainFormCore::StartMonitoring() {
    platform::Randomize();
    Log.PrepareLog();
    Link.Reset();
    Link.OpenDriver();
    Link.AttachAllPorts();
    SendStoredAllowList();
}

void MainFormCore::RestoreState() {
    ExitRequested = false;
    SessionEnding = false;
    if (Parental) {
        Parental->RestoreCheckBox();
    }
}

void MainFormCore::StopMonitoring() {
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
}

void MainFormCore::SendStoredAllowList() {
    if (NumberList) {
        monitor::SendStoredAllowList(Link.DeviceHandle.get(), Log, *NumberList);
    }
}

}  // namespace kestrine::app
