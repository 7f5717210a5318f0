#include "tests/support/FakeMonitorDevice.h"

#include <algorithm>
#include <cstring>

namespace kestrine::test {

using platform::IoResult;
using namespace monitor;

FakeMonitorDevice::FakeMonitorDevice() {
    for (int port = kFirstPort; port <= kLastPort; ++port) {
        attachable_.insert(port);
    }
}

void FakeMonitorDevice::SetAttachablePorts(std::set<int> ports) {
    std::lock_guard lock(mutex_);
    attachable_ = std::move(ports);
}

std::optional<PortId> FakeMonitorDevice::PortIdOf(int comPort) const {
    std::lock_guard lock(mutex_);
    const Port* port = FindCom(comPort);
    return port ? std::optional<PortId>(port->id) : std::nullopt;
}

std::vector<int> FakeMonitorDevice::AttachedPorts() const {
    std::lock_guard lock(mutex_);
    std::vector<int> result;
    for (const auto& [com, port] : ports_) {
        result.push_back(com);
    }
    return result;
}

std::vector<std::uint8_t> FakeMonitorDevice::SizeBytes(const std::vector<std::uint8_t>& record) {
    std::vector<std::uint8_t> size(4);
    PutU32(size, 0, static_cast<std::uint32_t>(record.size()));
    return size;
}

void FakeMonitorDevice::QueueEvent(int comPort, std::vector<std::uint8_t> record) {
    std::lock_guard lock(mutex_);
    Port* port = FindCom(comPort);
    if (port == nullptr) {
        return;
    }
    port->events.push_back(std::move(record));
    if (port->pendingWait) {
        port->pendingWait->Complete(platform::ERROR_SUCCESS, SizeBytes(port->events.front()));
        port->pendingWait.reset();
    }
    changed_.notify_all();
}

std::size_t FakeMonitorDevice::QueuedEvents(int comPort) const {
    std::lock_guard lock(mutex_);
    const Port* port = FindCom(comPort);
    return port ? port->events.size() : 0;
}

void FakeMonitorDevice::FailRequests(std::uint32_t code, platform::Win32Error error) {
    std::lock_guard lock(mutex_);
    failures_[code] = error;
}

void FakeMonitorDevice::ClearFailures() {
    std::lock_guard lock(mutex_);
    failures_.clear();
}

void FakeMonitorDevice::PendNextRead(int comPort) {
    std::lock_guard lock(mutex_);
    if (Port* port = FindCom(comPort)) {
        port->pendNextRead = true;
    }
}

bool FakeMonitorDevice::CompletePendingRead(int comPort) {
    std::lock_guard lock(mutex_);
    Port* port = FindCom(comPort);
    if (port == nullptr || !port->pendingRead || port->events.empty()) {
        return false;
    }
    port->pendingRead->Complete(platform::ERROR_SUCCESS, port->events.front());
    port->pendingRead.reset();
    port->events.pop_front();
    return true;
}

bool FakeMonitorDevice::AwaitOutstandingWait(int comPort, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        const Port* port = FindCom(comPort);
        return port != nullptr && port->pendingWait != nullptr;
    });
}

bool FakeMonitorDevice::AwaitOutstandingRead(int comPort, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        const Port* port = FindCom(comPort);
        return port != nullptr && port->pendingRead != nullptr;
    });
}

std::vector<std::vector<std::uint8_t>> FakeMonitorDevice::AllowLists() const {
    std::lock_guard lock(mutex_);
    return allowLists_;
}

int FakeMonitorDevice::RequestCount(std::uint32_t code) const {
    std::lock_guard lock(mutex_);
    const auto it = requestCounts_.find(code);
    return it == requestCounts_.end() ? 0 : it->second;
}

bool FakeMonitorDevice::IsClosed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

IoResult FakeMonitorDevice::Control(std::uint32_t code, std::span<const std::uint8_t> input,
                                    std::span<std::uint8_t> output) {
    std::lock_guard lock(mutex_);
    if (hung_ && !lost_ && !closed_) {
        ++requestCounts_[code];
        unanswered_ = true;
        return IoResult::Fail(platform::ERROR_TIMEOUT);
    }
    return Handle(code, input, output, nullptr);
}

IoResult FakeMonitorDevice::ControlOverlapped(std::uint32_t code,
                                              std::span<const std::uint8_t> input,
                                              std::span<std::uint8_t> output,
                                              platform::Overlapped& overlapped) {
    std::lock_guard lock(mutex_);
    return Handle(code, input, output, &overlapped);
}

void FakeMonitorDevice::Lose() {
    std::lock_guard lock(mutex_);
    lost_ = true;
    for (auto& [com, port] : ports_) {
        for (auto* io : {&port.pendingWait, &port.pendingRead}) {
            if (*io) {
                (*io)->Complete(platform::ERROR_DEVICE_NOT_CONNECTED);
                io->reset();
            }
        }
    }
    changed_.notify_all();
}

void FakeMonitorDevice::RefuseAttach(int comPort, platform::Win32Error error) {
    std::lock_guard lock(mutex_);
    if (error == platform::ERROR_SUCCESS) {
        refusals_.erase(comPort);
    } else {
        refusals_[comPort] = error;
    }
}

void FakeMonitorDevice::StopInOrder() {
    std::lock_guard lock(mutex_);
    for (auto& [com, port] : ports_) {
        for (auto* io : {&port.pendingWait, &port.pendingRead}) {
            if (*io) {
                (*io)->Complete(platform::ERROR_OPERATION_ABORTED);
                io->reset();
            }
        }
    }
    ports_.clear();
    changed_.notify_all();
}

void FakeMonitorDevice::SetHung(bool hung) {
    std::lock_guard lock(mutex_);
    hung_ = hung;
    unanswered_ = unanswered_ && hung;
}

platform::Win32Error FakeMonitorDevice::Health() const {
    std::lock_guard lock(mutex_);
    if (lost_) {
        return platform::ERROR_DEVICE_NOT_CONNECTED;
    }
    return unanswered_ ? platform::ERROR_TIMEOUT : platform::ERROR_SUCCESS;
}

void FakeMonitorDevice::Close() {
    std::lock_guard lock(mutex_);
    if (closed_) {
        return;
    }
    closed_ = true;
    for (auto& [com, port] : ports_) {
        for (auto* io : {&port.pendingWait, &port.pendingRead}) {
            if (*io) {
                (*io)->Complete(platform::ERROR_OPERATION_ABORTED);
                io->reset();
            }
        }
    }
    changed_.notify_all();
}

FakeMonitorDevice::Port* FakeMonitorDevice::FindPort(std::span<const std::uint8_t> input) {
    if (input.size() != 4) {
        return nullptr;
    }
    const PortId id = GetU32(input, 0);
    for (auto& [com, port] : ports_) {
        if (port.id == id) {
            return &port;
        }
    }
    return nullptr;
}

FakeMonitorDevice::Port* FakeMonitorDevice::FindCom(int comPort) {
    const auto it = ports_.find(comPort);
    return it == ports_.end() ? nullptr : &it->second;
}

const FakeMonitorDevice::Port* FakeMonitorDevice::FindCom(int comPort) const {
    const auto it = ports_.find(comPort);
    return it == ports_.end() ? nullptr : &it->second;
}

IoResult FakeMonitorDevice::Handle(std::uint32_t code, std::span<const std::uint8_t> input,
                                   std::span<std::uint8_t> output,
                                   platform::Overlapped* overlapped) {
    ++requestCounts_[code];
    if (closed_) {
        return IoResult::Fail(platform::ERROR_INVALID_HANDLE);
    }
    if (lost_) {
        return IoResult::Fail(platform::ERROR_DEVICE_NOT_CONNECTED);
    }
    if (const auto it = failures_.find(code); it != failures_.end()) {
        return IoResult::Fail(it->second);
    }
    std::shared_ptr<platform::PendingIo> io;
    if (overlapped != nullptr) {
        io = overlapped->Begin(output.size());
    }
    // Completes at once: the output goes into the caller's buffer and into the Overlapped's slot.
    auto done = [&](std::span<const std::uint8_t> bytes) {
        const auto n = std::min(bytes.size(), output.size());
        if (n > 0) {
            std::memcpy(output.data(), bytes.data(), n);
        }
        if (io) {
            io->Complete(platform::ERROR_SUCCESS, bytes);
        }
        return IoResult::Done(static_cast<std::uint32_t>(n));
    };
    auto fail = [&](platform::Win32Error error) {
        if (io) {
            io->Complete(error);
        }
        return IoResult::Fail(error);
    };

    switch (code) {
        case IOCTL_MONITOR_ATTACH_PORT: {
            const auto com = ParsePortNameBuffer(input);
            if (!com || output.size() < 4) {
                return fail(platform::ERROR_INVALID_PARAMETER);
            }
            if (const auto refused = refusals_.find(*com); refused != refusals_.end()) {
                return fail(refused->second);
            }
            if (!attachable_.contains(*com) || ports_.contains(*com)) {
                return fail(platform::ERROR_FILE_NOT_FOUND);
            }
            Port& port = ports_[*com];
            port.id = nextId_++;
            std::vector<std::uint8_t> id(4);
            PutU32(id, 0, port.id);
            changed_.notify_all();
            return done(id);
        }
        case IOCTL_MONITOR_DETACH_PORT: {
            Port* port = FindPort(input);
            if (port == nullptr) {
                return fail(platform::ERROR_INVALID_PARAMETER);
            }
            for (auto* pending : {&port->pendingWait, &port->pendingRead}) {
                if (*pending) {
                    (*pending)->Complete(platform::ERROR_OPERATION_ABORTED);
                }
            }
            std::erase_if(ports_, [&](const auto& entry) { return &entry.second == port; });
            changed_.notify_all();
            return done({});
        }
        case IOCTL_MONITOR_WAIT_EVENT: {
            Port* port = FindPort(input);
            if (port == nullptr || output.size() < 4) {
                return fail(platform::ERROR_INVALID_PARAMETER);
            }
            if (!port->events.empty()) {
                return done(SizeBytes(port->events.front()));
            }
            if (!io) {
                return fail(platform::ERROR_INVALID_PARAMETER);
            }
            port->pendingWait = io;
            changed_.notify_all();
            return IoResult::PendingResult();
        }
        case IOCTL_MONITOR_READ_EVENT: {
            Port* port = FindPort(input);
            if (port == nullptr) {
                return fail(platform::ERROR_INVALID_PARAMETER);
            }
            if (port->pendNextRead && io) {
                port->pendNextRead = false;
                port->pendingRead = io;
                changed_.notify_all();
                return IoResult::PendingResult();
            }
            if (port->events.empty()) {
                return fail(platform::ERROR_NO_MORE_ITEMS);
            }
            if (output.size() < port->events.front().size()) {
                return fail(platform::ERROR_INSUFFICIENT_BUFFER);
            }
            const auto record = std::move(port->events.front());
            port->events.pop_front();
            return done(record);
        }
        case IOCTL_MONITOR_SET_ALLOWLIST:
            allowLists_.emplace_back(input.begin(), input.end());
            return done({});
        default:
            return fail(platform::ERROR_INVALID_FUNCTION);
    }
}

}  // namespace kestrine::test
