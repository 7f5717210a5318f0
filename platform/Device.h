#pragma once
// Device I/O: synchronous and overlapped control requests on an open device.
//
// A request ends in one of three ways, as on the system the product was designed for:
//   - Completed: done at once; the output is in the caller's buffer.
//   - Pending (error ERROR_IO_PENDING): the device completes it later and then sets the
//     Overlapped's event; GetOverlappedResult fetches the outcome without waiting.
//   - Failed: with a Win32-style error code.
//
// Memory safety: a pending request never writes into the caller's buffer behind its back. The
// device delivers the output into the Overlapped's own completion slot, and GetOverlappedResult
// copies it into the buffer the caller hands it then. A caller may therefore drop its buffer (or
// the whole Overlapped) while a request is still outstanding.
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/Event.h"
#include "platform/Win32Error.h"

namespace kestrine::platform {

enum class IoStatus { Completed, Pending, Failed };

struct IoResult {
    IoStatus status = IoStatus::Failed;
    Win32Error error = ERROR_SUCCESS;  // ERROR_IO_PENDING when Pending
    std::uint32_t bytesReturned = 0;

    bool Succeeded() const { return status == IoStatus::Completed; }
    static IoResult Done(std::uint32_t bytes) {
        return {IoStatus::Completed, ERROR_SUCCESS, bytes};
    }
    static IoResult PendingResult() { return {IoStatus::Pending, ERROR_IO_PENDING, 0}; }
    static IoResult Fail(Win32Error e) { return {IoStatus::Failed, e, 0}; }
};

// The completion slot of one overlapped request, shared by the caller's Overlapped and the
// device that completes it. Completing twice keeps the first outcome.
class PendingIo {
public:
    PendingIo(Event event, std::size_t outputSize)
        : event_(std::move(event)), outputSize_(outputSize) {}

    std::size_t OutputSize() const { return outputSize_; }
    // Records the outcome and sets the event. `output` is cut to the size the caller announced.
    void Complete(Win32Error error, std::span<const std::uint8_t> output = {});
    bool IsComplete() const;

private:
    friend class Device;
    Event event_;
    std::size_t outputSize_;
    mutable std::mutex mutex_;
    bool complete_ = false;
    Win32Error error_ = ERROR_SUCCESS;
    std::vector<std::uint8_t> output_;
};

// The caller's side of an overlapped request: its event, and the request it is tied to.
class Overlapped {
public:
    explicit Overlapped(Event event) : event_(std::move(event)) {}
    const Event& GetEvent() const { return event_; }

    // For device implementations: ties a new request to this structure and resets the event.
    std::shared_ptr<PendingIo> Begin(std::size_t outputSize);
    std::shared_ptr<PendingIo> Current() const { return current_; }

private:
    Event event_;
    std::shared_ptr<PendingIo> current_;
};

// An open device handle. Implementations are safe to use from several threads at once: the
// user-interface thread sends synchronous requests while monitor threads have overlapped ones
// outstanding on the same handle.
class Device {
public:
    virtual ~Device() = default;

    // A synchronous request: Completed or Failed, never Pending. A device may bound the wait for
    // its answer, failing the request with ERROR_TIMEOUT (see Health).
    virtual IoResult Control(std::uint32_t code, std::span<const std::uint8_t> input,
                             std::span<std::uint8_t> output) = 0;

    // An overlapped request: Completed (output filled), Pending, or Failed.
    virtual IoResult ControlOverlapped(std::uint32_t code, std::span<const std::uint8_t> input,
                                       std::span<std::uint8_t> output, Overlapped& overlapped) = 0;

    // Closes the handle: every outstanding request completes with a failure and later requests
    // fail with ERROR_INVALID_HANDLE. Closing twice does nothing.
    virtual void Close() = 0;

    // Whether the device still serves this handle, without waiting: ERROR_SUCCESS;
    // ERROR_DEVICE_NOT_CONNECTED once its driver has gone away (every request fails from then
    // on); ERROR_TIMEOUT while a synchronous request has gone unanswered past the device's time
    // limit, until the driver answers again.
    virtual Win32Error Health() const { return ERROR_SUCCESS; }

    // The outcome of the request last started with `overlapped`, without waiting: Completed with
    // the output copied into `output`, Failed with the request's error, or Failed with
    // ERROR_IO_INCOMPLETE while it is still outstanding.
    IoResult GetOverlappedResult(const Overlapped& overlapped,
                                 std::span<std::uint8_t> output) const;
};

}  // namespace kestrine::platform
