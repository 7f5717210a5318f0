#pragma once
// Runs work on the user-interface thread for other threads and lets them wait until it has run.
//
// A monitor thread posts a call and blocks until the user-interface thread has carried it out.
// The user-interface thread serves the queue from its event loop (the waker tells the loop that
// work is there) and also while it waits for a monitor thread to end, so the two never wait on
// each other.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace kestrine::monitor {

class HandOverQueue {
public:
    using Waker = std::function<void()>;

    // `waker` is called (from the posting thread) whenever work is queued; the Qt layer uses it to
    // post a queued call that runs ServePending on the user-interface thread.
    explicit HandOverQueue(Waker waker = {});
    HandOverQueue(const HandOverQueue&) = delete;
    HandOverQueue& operator=(const HandOverQueue&) = delete;

    // Any thread but the user-interface thread: runs `work` there and returns once it has run.
    // An exception thrown by `work` is caught and dropped on the user-interface thread.
    void RunOnUiThread(const std::function<void()>& work);

    // User-interface thread: runs every call queued so far; returns how many ran.
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
    // Lives on the posting thread's stack until its call has run. `done` is set and `served`
    // notified under the mutex, so the poster cannot return (and free the item) before the
    // user-interface thread has let go of it.
    struct Item {
        const std::function<void()>* work;
        bool done = false;
        std::condition_variable served;
    };

    std::mutex mutex_;
    std::condition_variable queued_;  // the user-interface thread waits here
    std::deque<Item*> items_;
    std::uint64_t wakeCount_ = 0;
    Waker waker_;
};

}  // namespace kestrine::monitor
