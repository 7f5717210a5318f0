#pragma once
// An in-memory monitoring device for tests: honours the driver contract (attach, detach, wait,
// read, set allow-list) and lets a test queue events, fail requests and delay reads.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "monitor/DriverLink.h"
#include "monitor/MonitorContract.h"
#include "platform/Device.h"

namespace kestrine::test {

class FakeMonitorDevice : public platform::Device {
public:
    FakeMonitorDevice();

    // Which COM ports attach (all of 1..16 unless set).
    void SetAttachablePorts(std::set<int> ports);
    // An attach of `comPort` fails with `error` (ERROR_SUCCESS: no longer), as the driver refuses
    // a port it serves but cannot take (its device locked by another process).
    void RefuseAttach(int comPort, platform::Win32Error error);
    std::optional<monitor::PortId> PortIdOf(int comPort) const;
    std::vector<int> AttachedPorts() const;

    // Queues a record on an attached port and completes a wait outstanding on it.
    void QueueEvent(int comPort, std::vector<std::uint8_t> record);
    std::size_t QueuedEvents(int comPort) const;

    // Every request with this code fails with `error` until cleared.
    void FailRequests(std::uint32_t code, platform::Win32Error error);
    void ClearFailures();

    // The next read on `comPort` pends; CompletePendingRead finishes it with the queued record.
    void PendNextRead(int comPort);
    bool CompletePendingRead(int comPort);

    // Blocks until a wait (or a pending read) is outstanding on the port, or the timeout passes.
    bool AwaitOutstandingWait(int comPort, std::chrono::milliseconds timeout);
    bool AwaitOutstandingRead(int comPort, std::chrono::milliseconds timeout);

    // The driver went away: whatever is outstanding fails with ERROR_DEVICE_NOT_CONNECTED, and so
    // does every later request.
    void Lose();
    // The driver ended in order: it detached every port, failing what was outstanding on them
    // with ERROR_OPERATION_ABORTED, and still answers (its connection has not closed yet).
    void StopInOrder();
    // A driver that does not answer (stopped, or stuck): while hung, every synchronous request
    // fails with ERROR_TIMEOUT at its time limit, and from the first one on Health reports
    // ERROR_TIMEOUT, as a socket device does, until it answers again (SetHung(false)).
    void SetHung(bool hung);

    std::vector<std::vector<std::uint8_t>> AllowLists() const;
    int RequestCount(std::uint32_t code) const;
    bool IsClosed() const;

    platform::IoResult Control(std::uint32_t code, std::span<const std::uint8_t> input,
                               std::span<std::uint8_t> output) override;
    platform::IoResult ControlOverlapped(std::uint32_t code, std::span<const std::uint8_t> input,
                                         std::span<std::uint8_t> output,
                                         platform::Overlapped& overlapped) override;
    void Close() override;
    platform::Win32Error Health() const override;

private:
    struct Port {
        monitor::PortId id = 0;
        std::deque<std::vector<std::uint8_t>> events;
        std::shared_ptr<platform::PendingIo> pendingWait;
        std::shared_ptr<platform::PendingIo> pendingRead;
        bool pendNextRead = false;
    };

    platform::IoResult Handle(std::uint32_t code, std::span<const std::uint8_t> input,
                              std::span<std::uint8_t> output, platform::Overlapped* overlapped);
    Port* FindPort(std::span<const std::uint8_t> input);
    Port* FindCom(int comPort);
    const Port* FindCom(int comPort) const;
    static std::vector<std::uint8_t> SizeBytes(const std::vector<std::uint8_t>& record);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::set<int> attachable_;
    std::map<int, platform::Win32Error> refusals_;
    std::map<int, Port> ports_;  // by COM number
    monitor::PortId nextId_ = 0x1000;
    std::map<std::uint32_t, platform::Win32Error> failures_;
    std::map<std::uint32_t, int> requestCounts_;
    std::vector<std::vector<std::uint8_t>> allowLists_;
    bool closed_ = false;
    bool lost_ = false;
    bool hung_ = false;
    bool unanswered_ = false;
};

// Driver access that hands out a fake device (or, once `device` is reset, none: "no driver").
struct FakeDriverAccess : monitor::DriverAccess {
    std::shared_ptr<FakeMonitorDevice> device = std::make_shared<FakeMonitorDevice>();
    std::shared_ptr<platform::Device> OpenDriverDevice(std::string& message) override {
        if (!device) {
            message = "no driver";
        }
        return device;
    }
    bool InstallDriver(std::string& message) override {
        message = "Error: Cannot create service";
        return false;
    }
};

}  // namespace kestrine::test
