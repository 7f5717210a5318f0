#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "monitor/HandOverQueue.h"

using namespace kestrine::monitor;
using namespace std::chrono_literals;

TEST(HandOverQueue, RunsWorkOnTheServingThreadAndReleasesThePoster) {
    std::atomic<int> wakes{0};
    HandOverQueue queue([&] { ++wakes; });
    const auto uiThread = std::this_thread::get_id();
    std::thread::id ranOn;
    std::atomic<bool> posterDone{false};
    std::thread poster([&] {
        queue.RunOnUiThread([&] { ranOn = std::this_thread::get_id(); });
        posterDone = true;
    });
    queue.ServeUntil([&] { return posterDone.load(); }, 10ms);
    poster.join();
    EXPECT_EQ(ranOn, uiThread);
    EXPECT_GE(wakes.load(), 1);
}

TEST(HandOverQueue, AThrowingCallStillReleasesItsPoster) {
    auto queue = std::make_unique<HandOverQueue>();
    std::promise<void> released;
    std::thread poster([&] {
        queue->RunOnUiThread([] { throw std::runtime_error("dispatch failed"); });
        released.set_value();
    });
    EXPECT_EQ(queue->WaitAndServe(5s), 1u) << "the call ran and threw";
    // A poster left waiting would hang the test for ever: it is given up on instead, and the
    // queue it waits in is left alive for it.
    if (released.get_future().wait_for(5s) != std::future_status::ready) {
        poster.detach();
        (void)queue.release();
        FAIL() << "the poster of a throwing call is still waiting";
    }
    poster.join();
}

// Posters sleep and are woken (some calls outlast any look; with many posters most sleep and
// wake one another), and each checks that its call has run by the time it is released.
struct ManyPosters {
    int threads;
    int calls;
    int slowEvery;  // every this many calls sleeps 2 ms on the serving thread; 0: none does
};

class HandOverQueueManyPosters : public ::testing::TestWithParam<ManyPosters> {};

TEST_P(HandOverQueueManyPosters, ServesEachInItsOwnOrderAndReleasesEachAfterItsCall) {
    const auto [kThreads, kCalls, kSlowEvery] = GetParam();
    HandOverQueue queue;
    std::vector<std::vector<int>> seen(kThreads);
    std::atomic<int> finished{0};
    std::atomic<int> releasedEarly{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i) {
                queue.RunOnUiThread([&, t, i] {
                    if (kSlowEvery != 0 && i % kSlowEvery == 0) {
                        std::this_thread::sleep_for(2ms);
                    }
                    seen[t].push_back(i);
                });
                if (seen[t].size() != static_cast<std::size_t>(i + 1)) {
                    ++releasedEarly;
                }
            }
            ++finished;
            queue.Wake();
        });
    }
    queue.ServeUntil([&] { return finished.load() == kThreads; });
    for (auto& poster : posters) {
        poster.join();
    }
    EXPECT_EQ(releasedEarly.load(), 0);
    for (const auto& calls : seen) {
        ASSERT_EQ(calls.size(), static_cast<std::size_t>(kCalls));
        EXPECT_TRUE(std::is_sorted(calls.begin(), calls.end()));
    }
}

INSTANTIATE_TEST_SUITE_P(Load, HandOverQueueManyPosters,
                         ::testing::Values(ManyPosters{8, 200, 50}, ManyPosters{16, 3000, 0},
                                           ManyPosters{3, 5000, 0}));

// A call that runs a nested event loop (a modal dialog) serves the queue again from inside it.
TEST(HandOverQueue, ACallThatServesTheQueueAgainLosesNoCall) {
    HandOverQueue queue;
    std::atomic<bool> secondPosted{false};
    std::atomic<int> done{0};
    std::vector<int> ran;
    std::thread second;
    std::thread first([&] {
        queue.RunOnUiThread([&] {
            ran.push_back(1);
            second = std::thread([&] {
                secondPosted = true;
                queue.RunOnUiThread([&] { ran.push_back(2); });
                ++done;
            });
            while (!secondPosted.load() || queue.ServePending() == 0) {
                std::this_thread::yield();
            }
        });
        ++done;
    });
    queue.ServeUntil([&] { return done.load() == 2; }, 10ms);
    first.join();
    second.join();
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}
