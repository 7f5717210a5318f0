#include "driver/EventLoop.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace kestrine::driver {

EventLoop::EventLoop() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_ < 0) {
        throw std::system_error(errno, std::generic_category(), "epoll_create1");
    }
}

EventLoop::~EventLoop() {
    ::close(epoll_);
}

std::uint64_t EventLoop::Add(int fd, std::uint32_t events, Handler handler) {
    const std::uint64_t token = nextToken_++;
    epoll_event event{};
    event.events = events;
    event.data.u64 = token;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) < 0) {
        throw std::system_error(errno, std::generic_category(), "epoll_ctl add");
    }
    watches_[token] = std::make_shared<Watch>(Watch{fd, events, std::move(handler)});
    return token;
}

void EventLoop::Modify(std::uint64_t token, std::uint32_t events) {
    const auto it = watches_.find(token);
    if (it == watches_.end() || it->second->events == events) {
        return;
    }
    epoll_event event{};
    event.events = events;
    event.data.u64 = token;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, it->second->fd, &event);
    it->second->events = events;
}

void EventLoop::Remove(std::uint64_t token) {
    const auto it = watches_.find(token);
    if (it == watches_.end()) {
        return;
    }
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, it->second->fd, nullptr);
    watches_.erase(it);
}

std::uint64_t EventLoop::AddTimer(Deadline deadline, std::function<void()> handler) {
    const std::uint64_t token = nextToken_++;
    timers_[token] = std::make_shared<Timer>(Timer{std::move(deadline), std::move(handler)});
    return token;
}

void EventLoop::RemoveTimer(std::uint64_t token) {
    timers_.erase(token);
}

void EventLoop::RunOnce(int maxWaitMs) {
    int waitMs = maxWaitMs;
    const auto now = Clock::now();
    for (const auto& [token, timer] : timers_) {
        if (const auto when = timer->deadline()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*when - now).count();
            const int ms = left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 60000));
            waitMs = waitMs < 0 ? ms : std::min(waitMs, ms);
        }
    }
    epoll_event events[64];
    const int n = ::epoll_wait(epoll_, events, 64, waitMs);
    if (n < 0 && errno != EINTR) {
        throw std::system_error(errno, std::generic_category(), "epoll_wait");
    }
    for (int i = 0; i < n; ++i) {
        const auto it = watches_.find(events[i].data.u64);
        if (it == watches_.end()) {
            continue;
        }
        const auto watch = it->second;  // survives its own removal
        watch->handler(events[i].events);
    }
    std::vector<std::shared_ptr<Timer>> due;
    const auto after = Clock::now();
    for (const auto& [token, timer] : timers_) {
        if (const auto when = timer->deadline(); when && *when <= after) {
            due.push_back(timer);
        }
    }
    for (const auto& timer : due) {
        timer->handler();
    }
}

}  // namespace kestrine::driver
