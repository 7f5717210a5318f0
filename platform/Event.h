#pragma once
// Manual-reset events and waiting on several of them.
//
// An Event is a handle to one event object; copies refer to the same object (like a duplicated
// handle), which lives until its last handle is gone. A set event stays set until Reset, and a
// wait does not consume it. On Linux the object is an eventfd, so waits are poll() calls and an
// event can be waited on together with any other file descriptor.
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>

namespace kestrine::platform {

inline constexpr std::uint32_t WAIT_OBJECT_0 = 0;
inline constexpr std::uint32_t WAIT_TIMEOUT = 258;
inline constexpr std::uint32_t WAIT_FAILED = 0xFFFFFFFF;
inline constexpr std::uint32_t INFINITE = 0xFFFFFFFF;

class Event {
public:
    // A manual-reset, unnamed event.
    static Event CreateManualReset(bool initiallySet = false);

    Event() = default;  // no event: IsValid() is false

    bool IsValid() const { return object_ != nullptr; }
    void Set() const;
    void Reset() const;
    bool IsSet() const;
    // A descriptor to poll with other descriptors: readable while the event is set. A Reset after
    // this call may leave it readable, so a poller checks IsSet() when it wakes.
    int PollFd() const;

private:
    struct Object;
    std::shared_ptr<Object> object_;
};

// Waits until at least one event is set or `timeoutMs` passes (INFINITE waits for ever).
// Returns WAIT_OBJECT_0 + i for the lowest index i whose event is set, WAIT_TIMEOUT, or
// WAIT_FAILED when an event is invalid.
std::uint32_t WaitForAny(std::span<const Event> events, std::uint32_t timeoutMs = INFINITE);

}  // namespace kestrine::platform
