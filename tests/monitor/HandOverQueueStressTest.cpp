// The hand-over queue's lock-free protocol against a plain reference with one mutex and two
// condition variables: the same random workloads (posters whose calls are slow, throw, or serve
// the queue again from inside; a serving thread that switches between its three ways to serve;
// stray wakes) must leave every poster with the same observations. Built with ThreadSanitizer
// (scripts/test), it is also the race check of the protocol.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "monitor/HandOverQueue.h"

using namespace kestrine::monitor;
using namespace std::chrono_literals;

namespace {

// The contract of HandOverQueue, kept as simple as it gets.
class ReferenceQueue {
public:
    void RunOnUiThread(const std::function<void()>& work) {
        Item item{&work};
        std::unique_lock lock(mutex_);
        items_.push_back(&item);
        queued_.notify_all();
        released_.wait(lock, [&] { return item.done; });
    }
    std::size_t ServePending() {
        std::unique_lock lock(mutex_);
        std::vector<Item*> batch;
        batch.swap(items_);
        lock.unlock();
        for (Item* item : batch) {
            try {
                (*item->work)();
            } catch (...) {
            }
            lock.lock();
            item->done = true;
            released_.notify_all();
            lock.unlock();
        }
        return batch.size();
    }
    std::size_t WaitAndServe(std::chrono::milliseconds timeout) {
        {
            std::unique_lock lock(mutex_);
            queued_.wait_for(lock, timeout, [&] { return !items_.empty() || woken_; });
            woken_ = false;
        }
        return ServePending();
    }
    void ServeUntil(const std::function<bool()>& done) {
        while (!done()) {
            WaitAndServe(1000ms);
        }
    }
    void Wake() {
        std::lock_guard lock(mutex_);
        woken_ = true;
        queued_.notify_all();
    }

private:
    struct Item {
        const std::function<void()>* work;
        bool done = false;
    };
    std::mutex mutex_;
    std::condition_variable queued_;
    std::condition_variable released_;
    std::vector<Item*> items_;
    bool woken_ = false;
};

// What each poster saw: for each of its calls, how many of its calls had run before it (from
// inside the call) and whether the call had run when the poster was released.
using Observations = std::vector<std::vector<int>>;

template <class Queue>
Observations RunWorkload(unsigned seed, int posters, int calls) {
    Queue queue;
    Observations seen(static_cast<std::size_t>(posters));
    std::vector<int> ranCount(static_cast<std::size_t>(posters), 0);  // serving thread only
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < posters; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(seed * 131 + static_cast<unsigned>(t));
            for (int i = 0; i < calls; ++i) {
                const unsigned roll = random() % 100;
                bool ran = false;
                queue.RunOnUiThread([&] {
                    ran = true;
                    seen[static_cast<std::size_t>(t)].push_back(ranCount[t]++);
                    if (roll < 3) {
                        throw std::runtime_error("a dispatch that failed");
                    }
                    if (roll < 6) {
                        queue.ServePending();  // a nested loop (a dialog) serves meanwhile
                    } else if (roll < 12) {
                        const auto until = std::chrono::steady_clock::now() + 50us;
                        while (std::chrono::steady_clock::now() < until) {
                        }
                    }
                });
                seen[static_cast<std::size_t>(t)].push_back(ran ? 1 : -1);
            }
            ++finished;
            queue.Wake();
        });
    }
    std::thread stray([&] {
        while (finished.load() < posters) {
            queue.Wake();
            std::this_thread::sleep_for(100us);  // pacing, not waiting for anything
        }
    });
    std::mt19937 random(seed);
    while (finished.load() < posters) {
        switch (random() % 3) {
            case 0:
                queue.ServePending();
                break;
            case 1:
                queue.WaitAndServe(1ms);
                break;
            default: {
                const int target = std::min(posters, finished.load() + 1);
                queue.ServeUntil([&] { return finished.load() >= target; });
            }
        }
    }
    for (auto& thread : threads) {
        thread.join();
    }
    stray.join();
    return seen;
}

}  // namespace

TEST(HandOverQueueStress, AgreesWithAPlainMutexAndConditionReference) {
    constexpr int kCalls = 400;
    for (const int posters : {1, 3, 8}) {
        for (unsigned seed = 1; seed <= 3; ++seed) {
            SCOPED_TRACE(testing::Message() << posters << " posters, seed " << seed);
            const auto reference = RunWorkload<ReferenceQueue>(seed, posters, kCalls);
            const auto real = RunWorkload<HandOverQueue>(seed, posters, kCalls);
            ASSERT_EQ(real, reference);
            // And both are what the contract says: each call ran in its poster's order, before
            // its poster was released.
            for (const auto& poster : real) {
                ASSERT_EQ(poster.size(), 2u * kCalls);
                for (int i = 0; i < kCalls; ++i) {
                    EXPECT_EQ(poster[2 * static_cast<std::size_t>(i)], i);
                    EXPECT_EQ(poster[2 * static_cast<std::size_t>(i) + 1], 1);
                }
            }
        }
    }
}
