#include "monitor/DriverLink.h"

#include "log/LogOwner.h"

namespace kestrine::monitor {

namespace {
bool IsPort(int n) {
    return n >= kFirstPort && n <= kLastPort;
}
}  // namespace

DriverLink::DriverLink(const MonitorServices& services, DriverAccess& access)
    : services_(services), access_(access) {}

DriverLink::~DriverLink() {
    DetachAllPorts();
    CloseDriver();
}

void DriverLink::Reset() {
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        PortAttached[n] = false;
        AttachErrors[n] = platform::ERROR_SUCCESS;
        MonitorThreads[n].reset();
    }
    DeviceHandle.reset();
}

void DriverLink::OpenDriver() {
    Take(Open(access_, message_, false));
}

DriverLink::Opening DriverLink::Open(DriverAccess& access, std::string message, bool attachPorts) {
    Opening opening;
    opening.device = access.OpenDriverDevice(message);
    if (!opening.device && access.InstallDriver(message)) {
        opening.installed = true;
        opening.device = access.OpenDriverDevice(message);
    }
    opening.message = std::move(message);
    if (opening.device && attachPorts) {
        opening.ports.emplace();
        for (int n = kFirstPort; n <= kLastPort; ++n) {
            (*opening.ports)[n] = RequestAttach(*opening.device, n, opening.errors[n]);
        }
    }
    return opening;
}

std::optional<PortId> DriverLink::RequestAttach(platform::Device& device, int n,
                                                platform::Win32Error& error) {
    std::array<std::uint8_t, 4> id{};
    const auto result = device.Control(IOCTL_MONITOR_ATTACH_PORT, PortNameBuffer(n), id);
    error = result.Succeeded() ? platform::ERROR_SUCCESS : result.error;
    if (!result.Succeeded()) {
        return std::nullopt;
    }
    return GetU32(id, 0);
}

void DriverLink::Take(const Opening& opening) {
    message_ = opening.message;
    DeviceHandle = opening.device;
    if (DeviceHandle) {
        return;
    }
    if (opening.installed) {
        services_.log.LogLine(message_);
    } else {
        services_.log.LogFormat("Unable to access device driver: %s", {message_});
    }
}

void DriverLink::CloseDriver() {
    for (auto& thread : MonitorThreads) {
        if (thread) {
            thread->ExpectStop(true);  // the close fails their requests: our own doing
        }
    }
    if (DeviceHandle) {
        DeviceHandle->Close();
        DeviceHandle.reset();
    }
    StopRemainingThreads();
}

// A port whose detach the driver refused keeps its thread. Once the handle is closed its request
// has failed and it is leaving anyway; stop and join it here so that no thread outlives the link.
void DriverLink::StopRemainingThreads() {
    for (auto& thread : MonitorThreads) {
        if (thread) {
            thread->ExpectStop(true);
            thread->Terminate();
            thread->SignalStop();
            thread.reset();
        }
    }
}

bool DriverLink::AttachPort(int n) {
    if (!IsPort(n) || PortAttached[n] || !DeviceHandle) {
        return false;
    }
    const auto id = RequestAttach(*DeviceHandle, n, AttachErrors[n]);
    if (id) {
        Record(n, *id);
    }
    return id.has_value();
}

void DriverLink::Record(int n, PortId id) {
    PortIds[n].store(id);
    PortAttached[n] = true;
}

bool DriverLink::DetachPort(int n) {
    if (!IsPort(n) || !PortAttached[n] || !DeviceHandle) {
        return false;
    }
    std::vector<std::uint8_t> input(4);
    PutU32(input, 0, PortIds[n].load());
    TMonitorThread* const thread = MonitorThreads[n].get();
    if (thread != nullptr) {
        thread->ExpectStop(true);
    }
    const auto result = DeviceHandle->Control(IOCTL_MONITOR_DETACH_PORT, input, {});
    if (result.Succeeded()) {
        PortIds[n].store(0);
        PortAttached[n] = false;
    } else if (thread != nullptr) {
        thread->ExpectStop(false);
        if (thread->Finished() && services_.threadEnded) {
            // Aborted while we thought it was ours to stop: the port is still attached and now
            // unwatched.
            services_.threadEnded();
        }
    }
    return result.Succeeded();
}

bool DriverLink::StopPort(int n) {
    if (!DetachPort(n)) {
        return false;
    }
    if (auto& thread = MonitorThreads[n]) {
        thread->Terminate();
        thread->SignalStop();
        thread.reset();
    }
    return true;
}

void DriverLink::AttachAllPorts() {
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        if (AttachPort(n)) {
            StartThread(n);
        }
    }
}

void DriverLink::AdoptPorts(const PortIdTable& ports, const AttachErrorTable& errors) {
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        AttachErrors[n] = errors[n];
        if (ports[n] && !PortAttached[n] && DeviceHandle) {
            Record(n, *ports[n]);
            StartThread(n);
        }
    }
}

void DriverLink::StartThread(int n) {
    auto thread = std::make_unique<TMonitorThread>(services_, DeviceHandle, PortIds[n]);
    MonitorThreads[n] = std::move(thread);
    MonitorThreads[n]->Port = n;
    MonitorThreads[n]->Resume();
}

platform::Win32Error DriverLink::Health() const {
    if (!DeviceHandle) {
        return platform::ERROR_INVALID_HANDLE;
    }
    if (const auto health = DeviceHandle->Health(); health != platform::ERROR_SUCCESS) {
        return health;
    }
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        const auto& thread = MonitorThreads[n];
        // A port still attached whose thread has ended is unwatched, whatever ended the thread
        // (a detach of ours that the driver then refused leaves one too).
        if (PortAttached[n] && thread && thread->Finished()) {
            return thread->ExitError();
        }
    }
    return platform::ERROR_SUCCESS;
}

void DriverLink::Probe() {
    if (DeviceHandle && DeviceHandle->Health() == platform::ERROR_SUCCESS) {
        const std::array<std::uint8_t, 4> noPort{};
        DeviceHandle->Control(IOCTL_MONITOR_DETACH_PORT, noPort, {});
    }
}

int DriverLink::AttachedPorts() const {
    int count = 0;
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        count += PortAttached[n] ? 1 : 0;
    }
    return count;
}

std::vector<int> DriverLink::RefusedPorts() const {
    std::vector<int> refused;
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        if (!PortAttached[n] && AttachErrors[n] != platform::ERROR_SUCCESS &&
            AttachErrors[n] != platform::ERROR_FILE_NOT_FOUND) {
            refused.push_back(n);
        }
    }
    return refused;
}

int DriverLink::RetryRefusedPorts() {
    int attached = 0;
    for (const int n : RefusedPorts()) {
        if (AttachPort(n)) {
            StartThread(n);
            ++attached;
        }
    }
    return attached;
}

bool DriverLink::Reconnect() {
    CloseDriver();
    Reset();
    DeviceHandle = access_.OpenDriverDevice(message_);
    if (!DeviceHandle) {
        return false;
    }
    AttachAllPorts();
    return true;
}

void DriverLink::DetachAllPorts() {
    for (int n = kFirstPort; n <= kLastPort; ++n) {
        StopPort(n);
    }
}

}  // namespace kestrine::monitor
