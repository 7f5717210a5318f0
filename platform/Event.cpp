#include "platform/Event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace kestrine::platform {

struct Event::Object {
    int fd = -1;
    explicit Object(int f) : fd(f) {}
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    ~Object() { ::close(fd); }
};

Event Event::CreateManualReset(bool initiallySet) {
    int fd = ::eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    Event event;
    event.object_ = std::make_shared<Object>(fd);
    return event;
}

void Event::Set() const {
    const std::uint64_t one = 1;
    // A full counter (EAGAIN) is still set, which is all that matters here.
    while (::write(object_->fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Event::Reset() const {
    std::uint64_t value = 0;
    while (::read(object_->fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

bool Event::IsSet() const {
    pollfd pfd{object_->fd, POLLIN, 0};
    return ::poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLIN) != 0;
}

int Event::PollFd() const {
    return object_ ? object_->fd : -1;
}

std::uint32_t WaitForAny(std::span<const Event> events, std::uint32_t timeoutMs) {
    std::vector<pollfd> fds;
    fds.reserve(events.size());
    for (const auto& event : events) {
        if (!event.IsValid()) {
            return WAIT_FAILED;
        }
        fds.push_back(pollfd{event.PollFd(), POLLIN, 0});
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
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
            if ((fds[i].revents & POLLIN) != 0) {
                return WAIT_OBJECT_0 + static_cast<std::uint32_t>(i);
            }
        }
        return WAIT_FAILED;
    }
}

}  // namespace kestrine::platform
