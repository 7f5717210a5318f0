#include "monitor/MonitorThread.h"

#include "platform/Process.h"

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
    // Each event waits for the user-interface thread; a woken monitor thread that took that
    // thread's processor would only delay its own event and every other port's.
    platform::RunAsBatchWork();
    try {
        Execute();
    } catch (...) {
        exitError_.store(platform::ERROR_GEN_FAILURE);
    }
    if (Terminated()) {
        exitError_.store(platform::ERROR_OPERATION_ABORTED);
    }
    // Only a stop we asked for is an orderly end: an abort the driver made on its own (it was
    // stopped, or detached the port behind our back) leaves the port unwatched.
    const bool stopped = Terminated() || (stopExpected_.load() &&
                                          exitError_.load() == platform::ERROR_OPERATION_ABORTED);
    finished_.store(true);
    services_.handOver.Wake();
    // No log line from here: the link tells whether this means lost protection.
    if (!stopped && services_.threadEnded) {
        services_.threadEnded();
    }
}

std::array<std::uint8_t, 4> TMonitorThread::PortIdInput() const {
    const PortId id = portId_.load();
    return {static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(id >> 8),
            static_cast<std::uint8_t>(id >> 16), static_cast<std::uint8_t>(id >> 24)};
}

platform::Win32Error TMonitorThread::WaitForRequest(platform::Overlapped& overlapped,
                                                    std::span<std::uint8_t> output) {
    const auto which = platform::WaitForAny(WaitHandles);
    if (which != platform::WAIT_OBJECT_0) {
        return platform::ERROR_OPERATION_ABORTED;  // stop, or a failed wait
    }
    const auto result = device_->GetOverlappedResult(overlapped, output);
    return result.Succeeded() ? platform::ERROR_SUCCESS : result.error;
}

void TMonitorThread::Execute() {
    platform::Overlapped overlapped(IoEvent);
    std::array<std::uint8_t, 4> sizeBytes{};
    auto leave = [this](platform::Win32Error error) { exitError_.store(error); };
    while (!Terminated()) {
        auto input = PortIdInput();
        auto result =
            device_->ControlOverlapped(IOCTL_MONITOR_WAIT_EVENT, input, sizeBytes, overlapped);
        if (result.status == IoStatus::Failed) {
            return leave(result.error);
        }
        if (result.status == IoStatus::Pending) {
            if (const auto error = WaitForRequest(overlapped, sizeBytes);
                error != platform::ERROR_SUCCESS) {
                return leave(error);
            }
        }
        const std::uint32_t size = GetU32(sizeBytes, 0);
        if (size > kMaxEventRecordSize) {
            // A driver naming an absurd size is treated like a failed request.
            return leave(platform::ERROR_INVALID_DATA);
        }
        std::vector<std::uint8_t> record(size);
        input = PortIdInput();
        result = device_->ControlOverlapped(IOCTL_MONITOR_READ_EVENT, input, record, overlapped);
        if (result.status == IoStatus::Completed) {
            HandOver(record);
            continue;
        }
        if (result.status == IoStatus::Failed) {
            return leave(result.error);
        }
        if (const auto error = WaitForRequest(overlapped, record);
            error != platform::ERROR_SUCCESS) {
            return leave(error);
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
        if (services_.eventLogged) {
            services_.eventLogged();
        }
    }
}

}  // namespace kestrine::monitor
