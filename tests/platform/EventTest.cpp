#include <gtest/gtest.h>
#include <poll.h>

#include <array>
#include <thread>

#include "platform/Event.h"

using namespace kestrine::platform;

TEST(Event, ManualResetStaysSetUntilReset) {
    const auto event = Event::CreateManualReset();
    EXPECT_FALSE(event.IsSet());
    event.Set();
    event.Set();
    const std::array events{event};
    EXPECT_EQ(WaitForAny(events, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForAny(events, 0), WAIT_OBJECT_0)
        << "a wait must not consume a manual-reset event";
    event.Reset();
    EXPECT_FALSE(event.IsSet());
    EXPECT_EQ(WaitForAny(events, 0), WAIT_TIMEOUT);
}

TEST(Event, ItsDescriptorIsReadableExactlyWhileSet) {
    const auto event = Event::CreateManualReset();
    auto readable = [&] {
        pollfd pfd{event.PollFd(), POLLIN, 0};
        return ::poll(&pfd, 1, 0) == 1;
    };
    EXPECT_FALSE(readable());
    event.Set();
    EXPECT_TRUE(readable());
    event.Reset();
    event.Set();
    event.Reset();
    EXPECT_FALSE(readable()) << "a reset noted without a system call is applied before a poll";
    event.Set();
    EXPECT_TRUE(readable());
}

TEST(Event, CopiesShareOneObject) {
    const auto event = Event::CreateManualReset();
    const Event copy = event;
    copy.Set();
    EXPECT_TRUE(event.IsSet());
}

TEST(WaitForAny, FirstSignalledHandleCountsWhenSeveralAreSet) {
    const std::array events{Event::CreateManualReset(), Event::CreateManualReset(true)};
    EXPECT_EQ(WaitForAny(events, 0), WAIT_OBJECT_0 + 1);
    events[0].Set();
    EXPECT_EQ(WaitForAny(events, 0), WAIT_OBJECT_0);
}

TEST(WaitForAny, WakesWhenAnotherThreadSets) {
    const std::array events{Event::CreateManualReset(), Event::CreateManualReset()};
    std::thread setter([&] { events[1].Set(); });
    EXPECT_EQ(WaitForAny(events, INFINITE), WAIT_OBJECT_0 + 1);
    setter.join();
}

TEST(WaitForAny, InvalidEventFails) {
    const std::array events{Event::CreateManualReset(), Event()};
    EXPECT_EQ(WaitForAny(events, 0), WAIT_FAILED);
}
