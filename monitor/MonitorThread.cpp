#include "monitor/MonitorThread.h"

namespace kestrine::monitor {

using platform::IoStatus;

TMonitorThread::TMonitorThread(const MonitorServices& services,
                               std::shared_ptr<platform::Device> device,
                               const std::atomic<PortId>& portId)
    : services_(services),
      device_(std::move(device)),
      portId_(portId),
      StopEvent(platform::Event::CreateManualReset()),
      IoEvent(platform::Event::CreateManualReset()),
      WaitHandles{IoEvent, StopEvent} {}

TMonitorThread::~TMonitorThread() {
    if (thread_.joinable()) {
        services_.handOver.ServeUntil([this] { return Finished(); });
        thread_.join();
    }
}

void TMonitorThread::Resume() {
    if (!thread_.joinable() && !Finished()) {
        thread_ = std::thread([this] { Run(); });
    }
}

void TMonitorThread::Run() {
    try {
        Execute();
    } catch (...) {
        // Leaving the thread is silent, whatever ended it.
    }
    finished_.store(true);
    services_.handOver.Wake();
}

std::array<std::uint8_t, 4> TMonitorThread::PortIdInput() const {
    const PortId id = portId_.load();
    return {static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(id >> 8),
            static_cast<std::uint8_t>(id >> 16), static_cast<std::uint8_t>(id >> 24)};
}

bool TMonitorThread::WaitForRequest(platform::Overlapped& overlapped,
                                    std::span<std::uint8_t> output) {
    const auto which = platform::WaitForAny(WaitHandles);
    if (which != platform::WAIT_OBJECT_0) {
        return false;  // stop, or a failed wait
    }
    return device_->GetOverlappedResult(overlapped, output).Succeeded();
}

void TMonitorThread::Execute() {
    platform::Overlapped overlapped(IoEvent);
    std::array<std::uint8_t, 4> sizeBytes{};
    while (!Terminated()) {
        auto input = PortIdInput();
        auto result =
            device_->ControlOverlapped(IOCTL_MONITOR_WAIT_EVENT, input, sizeBytes, overlapped);
        if (result.status == IoStatus::Failed) {
            return;
        }
        if (result.status == IoStatus::Pending && !WaitForRequest(overlapped, sizeBytes)) {
            return;
        }
        const std::uint32_t size = GetU32(sizeBytes, 0);
        if (size > kMaxEventRecordSize) {
            return;  // a driver naming an absurd size is treated like a failed request
        }
        std::vector<std::uint8_t> record(size);
        input = PortIdInput();
        result = device_->ControlOverlapped(IOCTL_MONITOR_READ_EVENT, input, record, overlapped);
        if (result.status == IoStatus::Completed) {
            HandOver(record);
            continue;
        }
        if (result.status == IoStatus::Failed || !WaitForRequest(overlapped, record)) {
            return;
        }
        HandOver(record);
        services_.messageBeep();
        services_.sleep(kLateReadPauseMs);
    }
}

void TMonitorThread::HandOver(const std::vector<std::uint8_t>& record) {
    CurrentEvent = &record;
    services_.handOver.RunOnUiThread([this] { DispatchEvent(); });
    CurrentEvent = nullptr;
}

void TMonitorThread::DispatchEvent() {
    if (CurrentEvent != nullptr) {
        DispatchMonitorEvent(*CurrentEvent, services_.log, services_.alert);
    }
}

}  // namespace kestrine::monitor
