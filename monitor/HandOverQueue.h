#pragma once
// Runs work on the user-interface thread for other threads and lets them wait until it has run.
//
// A monitor thread posts a call and blocks until the user-interface thread has carried it out.
// The user-interface thread serves the queue from its event loop (the waker tells the loop that
// work is there) and also while it waits for a monitor thread to end, so the two never wait on
// each other.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace kestrine::monitor {

class HandOverQueue {
public:
    using Waker = std::function<void()>;

    // `waker` is called (from a posting thread) when work is queued and no serve is due yet; the
    // Qt layer uses it to post a queued call that runs ServePending on the user-interface thread.
    explicit HandOverQueue(Waker waker = {});
    HandOverQueue(const HandOverQueue&) = delete;
    HandOverQueue& operator=(const HandOverQueue&) = delete;

    // Any thread but the user-interface thread: runs `work` there and returns once it has run.
    // An exception thrown by `work` is caught and dropped on the user-interface thread.
    void RunOnUiThread(const std::function<void()>& work);

    // User-interface thread: runs every call queued so far, and those that follow within a
    // moment; returns how many ran.
    std::size_t ServePending();

    // User-interface thread: serves calls until `done()` holds, waking at least every
    // `wakeInterval` to test it. Wake() makes it test `done()` at once.
    void ServeUntil(const std::function<bool()>& done,
                    std::chrono::milliseconds wakeInterval = std::chrono::milliseconds(1000));

    // User-interface thread, for loops of our own (tests, benchmarks): waits until a call is
    // queued, Wake() is called or `timeout` passes, then serves what is queued.
    std::size_t WaitAndServe(std::chrono::milliseconds timeout);

    // Wakes a ServeUntil or WaitAndServe in progress.
    void Wake();

private:
    std::size_t ServeBatch();

    // Lives on the posting thread's stack until its call has run. `done` is set and `served`
    // notified under the mutex, so the poster cannot return (and free the item) before the
    // user-interface thread has let go of it.
    struct Item {
        const std::function<void()>* work;
        std::atomic<bool> done{false};
        std::condition_variable served;
    };

    std::mutex mutex_;
    std::condition_variable queued_;  // the user-interface thread waits here
    std::deque<Item*> items_;
    std::uint64_t wakeCount_ = 0;
    std::atomic<std::size_t> queuedCount_{0};  // items_.size(), readable without the mutex
    std::atomic<bool> wakeRequested_{false};   // the waker was called and its serve is due
    Waker waker_;
};

}  // namespace kestrine::monitor
