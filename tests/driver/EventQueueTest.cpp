#include "driver/EventQueue.h"

#include <gtest/gtest.h>

#include "monitor/EventDispatch.h"
#include "monitor/MonitorContract.h"
#include "tests/support/LogFixture.h"

using namespace kestrine;
using namespace kestrine::driver;

namespace {
struct NoAlert : monitor::BlockedAlert {
    void ShowBlockedAlert(const std::string&, const std::string&) override {}
};
}  // namespace

// A flood the application cannot keep up with loses port data, never silently: once there is
// room, one record with the count stands where the events went, and it becomes one log line.
TEST(EventQueue, DropsUnderAFloodAreCountedAndToldWhereTheyHappened) {
    EventQueue queue;
    const std::size_t flood = EventQueue::kMaxRecords + 40;
    for (std::size_t i = 0; i < flood; ++i) {
        queue.PushSimple(i % 2 == 0 ? monitor::PortOpened : monitor::PortClosed);
    }
    ASSERT_EQ(queue.Size(), EventQueue::kMaxRecords);
    ASSERT_EQ(queue.Dropped(), 40u);

    test::LogFixture log;
    NoAlert alert;
    std::size_t read = 0;
    while (!queue.Empty()) {
        queue.AnnounceHead();
        monitor::DispatchMonitorEvent(queue.Head(), log.owner, alert);
        queue.PopHead();
        ++read;
    }
    EXPECT_EQ(read, EventQueue::kMaxRecords + 1) << "the kept events and the count";
    const auto messages = log.Messages();
    ASSERT_EQ(messages.size(), read);
    EXPECT_EQ(messages.back(), "40 port events were not recorded: the driver's queue was full");

    queue.PushSimple(monitor::PortOpened);
    queue.AnnounceHead();
    queue.PopHead();
    EXPECT_TRUE(queue.Empty()) << "told once";
}
