#pragma once
// The driver's single-threaded loop: epoll over file descriptors, plus deadlines.
//
// Handlers are found by a token that is never reused, so a handler removed while a batch of
// readiness reports is being served is simply skipped.
#include <sys/epoll.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace kestrine::driver {

class EventLoop {
public:
    using Clock = std::chrono::steady_clock;
    using Handler = std::function<void(std::uint32_t events)>;
    using Deadline = std::function<std::optional<Clock::time_point>()>;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    std::uint64_t Add(int fd, std::uint32_t events, Handler handler);
    void Modify(std::uint64_t token, std::uint32_t events);
    void Remove(std::uint64_t token);

    // A source of deadlines, asked before every wait; its handler runs once the deadline passed.
    std::uint64_t AddTimer(Deadline deadline, std::function<void()> handler);
    void RemoveTimer(std::uint64_t token);

    // Waits once (at most `maxWaitMs`, -1 for no limit besides deadlines) and runs what is ready.
    void RunOnce(int maxWaitMs = -1);
    void Stop() { stopped_ = true; }
    bool Stopped() const { return stopped_; }

private:
    struct Watch {
        int fd;
        std::uint32_t events;
        Handler handler;
    };
    struct Timer {
        Deadline deadline;
        std::function<void()> handler;
    };
    int epoll_;
    std::uint64_t nextToken_ = 1;
    std::map<std::uint64_t, std::shared_ptr<Watch>> watches_;
    std::map<std::uint64_t, std::shared_ptr<Timer>> timers_;
    bool stopped_ = false;
};

}  // namespace kestrine::driver
