#pragma once
// TMonitorThread: one per attached COM port. It asks the driver for the port's events one at a
// time and hands each to the user-interface thread, waiting until it has been dispatched there.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "monitor/EventDispatch.h"
#include "monitor/HandOverQueue.h"
#include "monitor/MonitorContract.h"
#include "platform/Device.h"
#include "platform/Event.h"

namespace kestrine::monitor {

// What the monitor threads use on the user-interface side, and the two system calls of the
// late-read path (injectable so tests do not really beep or wait).
struct MonitorServices {
    HandOverQueue& handOver;
    log::LogOwner& log;
    BlockedAlert& alert;
    std::function<void()> messageBeep = [] {};
    std::function<void(unsigned milliseconds)> sleep = [](unsigned) {};
    // Called on the monitor thread when it leaves without this application having asked for it:
    // its request failed, whatever the error (a driver that stops in order aborts the waits of
    // the ports it detaches, and that is a lost driver too), so that the user-interface side can
    // look at once. It must not wait for the user-interface thread.
    std::function<void()> threadEnded = [] {};
    // Called on the user-interface thread after each event's lines went to the log.
    std::function<void()> eventLogged = [] {};
};

class TMonitorThread {
public:
    // Created suspended: nothing runs until Resume. `portId` is the port's slot in PortIds, read
    // afresh for every request.
    TMonitorThread(const MonitorServices& services, std::shared_ptr<platform::Device> device,
                   const std::atomic<PortId>& portId);
    // Waits until the thread has ended, serving its hand-overs meanwhile. Callers stop it first
    // (Terminate, SignalStop), or the wait lasts until the driver ends the thread's request.
    ~TMonitorThread();
    TMonitorThread(const TMonitorThread&) = delete;
    TMonitorThread& operator=(const TMonitorThread&) = delete;

    int Port = 0;  // the COM port served, 1..16; set before Resume

    void Resume();
    void Terminate() { terminated_.store(true); }
    bool Terminated() const { return terminated_.load(); }
    // A detach of ours is under way (true) or was refused (false): a wait the driver aborts
    // meanwhile ends the thread as asked for. Set before the detach request is sent, since the
    // driver fails the wait before it answers the detach.
    void ExpectStop(bool expected) { stopExpected_.store(expected); }
    void SignalStop() { StopEvent.Set(); }
    bool Finished() const { return finished_.load(); }
    // Why the thread left: the error of the request that failed (ERROR_OPERATION_ABORTED also
    // when the driver aborted it), ERROR_OPERATION_ABORTED when it was stopped, ERROR_SUCCESS
    // while it runs.
    platform::Win32Error ExitError() const { return exitError_.load(); }

    // The late-read pause after a read that completed late.
    static constexpr unsigned kLateReadPauseMs = 1000;

private:
    void Run();
    void Execute();
    // Waits on WaitHandles: ERROR_SUCCESS when the request completed (result fetched into
    // `output`), ERROR_OPERATION_ABORTED on a stop, else the request's error.
    platform::Win32Error WaitForRequest(platform::Overlapped& overlapped,
                                        std::span<std::uint8_t> output);
    void HandOver(const std::vector<std::uint8_t>& record);
    void DispatchEvent();
    std::array<std::uint8_t, 4> PortIdInput() const;

    MonitorServices services_;
    std::shared_ptr<platform::Device> device_;
    const std::atomic<PortId>& portId_;

    // Both events belong to the thread object; they exist from its construction so that a stop
    // signalled before the thread body has started is never lost.
    platform::Event StopEvent;
    platform::Event IoEvent;
    std::array<platform::Event, 2> WaitHandles;  // IoEvent first: when both are set, I/O counts
    const std::vector<std::uint8_t>* CurrentEvent = nullptr;

    std::atomic<bool> terminated_{false};
    std::atomic<bool> stopExpected_{false};
    std::atomic<bool> finished_{false};
    std::atomic<platform::Win32Error> exitError_{platform::ERROR_SUCCESS};
    std::thread thread_;
};

}  // namespace kestrine::monitor
