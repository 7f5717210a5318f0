#pragma once
// Runs work on the user-interface thread for other threads and lets them wait until it has run.
//
// A monitor thread posts a call and blocks until the user-interface thread has carried it out.
// The user-interface thread serves the queue from its event loop (the waker tells the loop that
// work is there) and also while it waits for a monitor thread to end, so the two never wait on
// each other.
//
// Costs, since every event of every port passes here: the user-interface thread takes the queue
// in one swap per batch and releases each poster with one atomic exchange, entering the kernel
// only for a poster that has gone to sleep. A poster that is alone in waiting, on another
// processor than the serving thread, looks for its answer for a moment before it sleeps, so a
// single busy port passes without a sleep or a wake-up; when several wait, they sleep at once and
// leave the processors to the serving thread and to the posters with work to do.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

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

    // Lives on the posting thread's stack until its call has run. `state` is the word the poster
    // sleeps on; the serving thread's exchange to kDone is its last touch of the item, so the
    // poster may return (and the item go) the moment it sees kDone.
    struct Item {
        static constexpr std::uint32_t kWaiting = 0;
        static constexpr std::uint32_t kSleeping = 1;
        static constexpr std::uint32_t kDone = 2;
        const std::function<void()>* work;
        std::atomic<std::uint32_t> state{kWaiting};
    };
    static void Release(Item& item);
    void AwaitRelease(Item& item, bool lookFirst) const;

    std::mutex mutex_;
    std::condition_variable queued_;  // the user-interface thread waits here
    std::vector<Item*> items_;        // guarded by mutex_
    std::vector<Item*> spare_;        // the user-interface thread's last batch, for its memory
    std::uint64_t wakeCount_ = 0;
    std::atomic<std::size_t> queuedCount_{0};  // items_.size(), readable without the mutex
    std::atomic<std::size_t> waiting_{0};      // posters between posting and release
    std::atomic<bool> wakeRequested_{false};   // the waker was called and its serve is due
    // The processor the serving thread last ran on: a poster there would only take it from the
    // serving thread by looking, so it sleeps at once.
    std::atomic<int> servingCpu_{-1};
    Waker waker_;
};

}  // namespace kestrine::monitor
