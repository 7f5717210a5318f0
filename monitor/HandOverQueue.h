#pragma once
// Runs work on the user-interface thread for other threads and lets them wait until it has run.
//
// A monitor thread posts a call and blocks until the user-interface thread has carried it out.
// The user-interface thread serves the queue from its event loop (the waker tells the loop that
// work is there) and also while it waits for a monitor thread to end, so the two never wait on
// each other.
//
// Costs, since every event of every port passes here: the user-interface thread takes the queue
// in one swap per batch and releases each poster with one atomic operation. Waking a sleeping
// thread costs that thread's processor more than the log write a hand-over carries, so the
// wakes are left to the posters: one poster at a time holds the look. It looks for its answer
// for a moment instead of sleeping (a single busy port passes without a sleep or a wake-up), and
// the sleepers the serving thread releases meanwhile are handed to it. A holder with sleepers to
// wake wakes one, hands it the look and the rest, and goes to sleep or about its next event; the
// woken poster does the same, so with many busy ports the wakes run one after another on the
// processor that runs the posters, and the serving thread enters the kernel for a wake only when
// nobody holds the look (it then wakes the sleeper with the look).
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
    // sleeps on; the store of kDone or kDoneWithLook is the last touch of the item by whoever
    // releases it, so the poster may return (and the item go) the moment it sees either.
    struct Item {
        static constexpr std::uint32_t kWaiting = 0;   // posted; the poster is awake
        static constexpr std::uint32_t kSleeping = 1;  // the poster sleeps on `state`
        static constexpr std::uint32_t kHanded = 2;    // run; its wake is left to the look's holder
        static constexpr std::uint32_t kDone = 3;      // run and released while awake
        static constexpr std::uint32_t kDoneWithLook = 4;  // run, woken and handed the look
        const std::function<void()>* work;
        std::atomic<std::uint32_t> state{kWaiting};
        Item* nextToWake = nullptr;  // the sleepers after this one that the holder is to wake
    };
    // Serving thread, after an item's call has run.
    void Release(Item& item);
    // Releases a sleeping poster and hands it the look with the items in `item.nextToWake`.
    void WakeWithLook(Item& item);
    // Posting thread.
    void AwaitRelease(Item& item);
    bool TakeLook();
    // Gives up the look this poster holds: wakes the first of `toWake`, else of the sleepers
    // handed over, handing it the look and the rest; with nobody to wake the look is free again.
    void PassLook(Item* toWake);

    std::mutex mutex_;
    std::condition_variable queued_;  // the user-interface thread waits here
    std::vector<Item*> items_;        // guarded by mutex_
    std::vector<Item*> spare_;        // the user-interface thread's last batch, for its memory
    std::uint64_t wakeCount_ = 0;
    std::atomic<std::size_t> queuedCount_{0};  // items_.size(), readable without the mutex
    // The look: kLooking while a poster holds it (looking, or woken to take it over), with the
    // sleepers handed to it (a stack of kHanded items chained by nextToWake) in the other bits.
    // Without kLooking the stack is empty: the holder empties it before it gives the look up.
    static constexpr std::uintptr_t kLooking = 1;
    std::atomic<std::uintptr_t> look_{0};
    // Posters woken that have not run yet: while one waits for a processor, nobody looks, since a
    // look would keep it from running.
    std::atomic<int> woken_{0};
    std::atomic<bool> wakeRequested_{false};   // the waker was called and its serve is due
    // The processor the serving thread last ran on: a poster there would only take it from the
    // serving thread by looking, so it sleeps at once.
    std::atomic<int> servingCpu_{-1};
    Waker waker_;
};

}  // namespace kestrine::monitor
