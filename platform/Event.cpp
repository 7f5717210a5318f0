#include "platform/Event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <system_error>
#include <vector>

namespace kestrine::platform {

// The event's state lives in `set`; the eventfd only serves waits. A request that starts and
// completes at once resets and sets its event, and that must not cost two system calls: Reset
// therefore only notes the state, and the eventfd is drained when a wait is about to poll it
// (Armed). Set writes to it only when it is not readable already.
struct Event::Object {
    int fd = -1;
    std::mutex mutex;
    bool set = false;       // the event's state
    bool readable = false;  // the eventfd's counter is not zero
    Object(int f, bool initiallySet) : fd(f), set(initiallySet), readable(initiallySet) {}
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    ~Object() { ::close(fd); }

    // The eventfd, readable exactly when the event is set at this moment.
    int Armed() {
        std::lock_guard lock(mutex);
        if (readable && !set) {
            std::uint64_t value = 0;
            while (::read(fd, &value, sizeof value) < 0 && errno == EINTR) {
            }
            readable = false;
        }
        return fd;
    }
};

Event Event::CreateManualReset(bool initiallySet) {
    int fd = ::eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    Event event;
    event.object_ = std::make_shared<Object>(fd, initiallySet);
    return event;
}

void Event::Set() const {
    std::lock_guard lock(object_->mutex);
    object_->set = true;
    if (!object_->readable) {
        const std::uint64_t one = 1;
        // A full counter (EAGAIN) is still readable, which is all that matters here.
        while (::write(object_->fd, &one, sizeof one) < 0 && errno == EINTR) {
        }
        object_->readable = true;
    }
}

void Event::Reset() const {
    std::lock_guard lock(object_->mutex);
    object_->set = false;
}

bool Event::IsSet() const {
    std::lock_guard lock(object_->mutex);
    return object_->set;
}

int Event::PollFd() const {
    return object_ ? object_->Armed() : -1;
}

std::uint32_t WaitForAny(std::span<const Event> events, std::uint32_t timeoutMs) {
    for (const auto& event : events) {
        if (!event.IsValid()) {
            return WAIT_FAILED;
        }
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<pollfd> fds(events.size());
    for (;;) {
        for (std::size_t i = 0; i < events.size(); ++i) {
            fds[i] = pollfd{events[i].PollFd(), POLLIN, 0};
        }
        int waitMs = -1;
        if (timeoutMs != INFINITE) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            waitMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        const int n = ::poll(fds.data(), fds.size(), waitMs);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return WAIT_FAILED;
        }
        if (n == 0) {
            return WAIT_TIMEOUT;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            // Reset since the poll began: not set after all.
            if ((fds[i].revents & POLLIN) != 0 && events[i].IsSet()) {
                return WAIT_OBJECT_0 + static_cast<std::uint32_t>(i);
            }
        }
        if (timeoutMs != INFINITE && Clock::now() >= deadline) {
            return WAIT_TIMEOUT;
        }
    }
}

}  // namespace kestrine::platform
