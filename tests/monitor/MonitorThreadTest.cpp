#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log/LogOwner.h"
#include "monitor/MonitorThread.h"
#include "tests/support/FakeMonitorDevice.h"
#include "tests/support/LogFixture.h"

using namespace kestrine;
using namespace kestrine::monitor;
using namespace std::chrono_literals;

namespace {

struct RecordingAlert : BlockedAlert {
    std::function<void(const std::string&)> onShow = [](const std::string&) {};
    std::vector<std::string> numbers;
    std::vector<std::string> dialledBy;
    int late = 0;
    void ShowBlockedAlert(const std::string& number, const std::string& dialler) override {
        onShow(number);
        numbers.push_back(number);
        dialledBy.push_back(dialler);
    }
    void NoteRefusedWhileAway() override { ++late; }
};

}  // namespace

struct DispatchCase {
    std::string name;
    std::vector<std::uint8_t> record;
    std::vector<std::string> lines;  // what the log gets
};

TEST(DispatchEvent, TurnsEachRecordIntoItsLogText) {
    auto withLength = [](std::vector<std::uint8_t> record, std::uint32_t length) {
        PutU32(record, kDataLengthOffset, length);
        return record;
    };
    const std::vector<DispatchCase> cases{
        {"opened", EncodeSimpleEvent(PortOpened), {"Port Opened"}},
        {"a tab follows a line break; other control characters are shown escaped",
         EncodeDataEvent(PortRead, "OK\r\n\x01"),
         {"READ: OK\r\n\t\\x01"}},
        {"nothing in the data can steer a terminal that shows the log",
         EncodeDataEvent(PortRead, std::string("\x1B[2K\x1B]0;t\x07\x1C\x1D\x1E\x7F\0\ttab", 19)),
         {"READ: \\x1B[2K\\x1B]0;t\\x07\\x1C\\x1D\\x1E\\x7F\\x00\ttab"}},
        {"C1 controls, as UTF-8 or as a byte of their own, are escaped; characters pass",
         EncodeDataEvent(PortRead,
                         "\x9B"
                         "2J\xC2\x9B"
                         "2J caf\xC3\xA9 \xE2\x82\xAC \xFF\xC3"),
         {"READ: \\x9B"
          "2J\\xC2\\x9B"
          "2J caf\xC3\xA9 \xE2\x82\xAC \xFF\xC3"}},
        {"a line forged in the data cannot pass for one of the log's own",
         EncodeDataEvent(PortWrite, "\r\n12/10/26 09:00:01: 0900123456 added to allow list.\r\n"),
         {"WRITE: \r\n\t12/10/26 09:00:01: 0900123456 added to allow list.\r\n\t"}},
        {"every kind of line break",
         EncodeDataEvent(PortRead,
                         "a\rb\nc\vd\fe\xC2\x85"
                         "f\xE2\x80\xA8g\xE2\x80\xA9h\n\ri"),
         {"READ: a\r\tb\n\tc\v\td\f\te\xC2\x85\tf\xE2\x80\xA8\tg\xE2\x80\xA9\th\n\t\r\ti"}},
        {"read of length 0", EncodeDataEvent(PortRead, ""), {"READ: "}},
        {"write", EncodeDataEvent(PortWrite, "ATDT0123"), {"WRITE: ATDT0123"}},
        {"write shorter than its payload",
         withLength(EncodeDataEvent(PortWrite, "ATDT"), 2),
         {"WRITE: AT"}},
        {"closed", EncodeSimpleEvent(PortClosed), {"Port Closed"}},
        {"flushed", EncodeSimpleEvent(PortFlushed), {"Port Flushed"}},
        {"baud", EncodeBaudRateEvent(115200), {"Baud rate set to 115200"}},
        {"baud with the top bit set",
         EncodeBaudRateEvent(0x80000000u),
         {"Baud rate set to -2147483648"}},
        {"line control, unknown parity",
         EncodeLineControlEvent(0, 5, 8),
         {"StopBits: 1 stop bit, Parity: Undefined parity, WordLength: 8"}},
        {"line control, unknown stop bits",
         EncodeLineControlEvent(3, 2, 7),
         {"StopBits: Unknown stop bit(s), Parity: Even parity, WordLength: 7"}},
        {"line control, 1.5 and mark",
         EncodeLineControlEvent(1, 3, 5),
         {"StopBits: 1.5 Stop bits, Parity: Mark parity, WordLength: 5"}},
        {"line control, 2 and space",
         EncodeLineControlEvent(2, 4, 255),
         {"StopBits: 2 stop bits, Parity: Space parity, WordLength: 255"}},
        {"line control, odd",
         EncodeLineControlEvent(0, 1, 8),
         {"StopBits: 1 stop bit, Parity: Odd parity, WordLength: 8"}},
        {"line control, none",
         EncodeLineControlEvent(0, 0, 8),
         {"StopBits: 1 stop bit, Parity: No parity, WordLength: 8"}},
        {"type 8", EncodeSimpleEvent(8), {}},
        {"type 255", EncodeDataEvent(255, "x"), {}},
        {"too short", std::vector<std::uint8_t>(10, 1), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogFixture log;
        RecordingAlert alert;
        DispatchMonitorEvent(c.record, log.owner, alert);
        EXPECT_EQ(log.Messages(), c.lines);
        EXPECT_TRUE(alert.numbers.empty());
    }
}

TEST(DispatchEvent, BlockedNumberIsLoggedBeforeTheAlert) {
    test::LogFixture log;
    RecordingAlert alert;
    std::vector<std::string> linesAtAlert;
    alert.onShow = [&](const std::string&) { linesAtAlert = log.Messages(); };
    DispatchMonitorEvent(EncodeNumberBlockedEvent("0900 123#"), log.owner, alert);
    EXPECT_EQ(alert.numbers, std::vector<std::string>{"0900 123#"});
    EXPECT_EQ(linesAtAlert,
              (std::vector<std::string>{"0900 123# blocked",
                                        "dialled by an unknown program (the driver did not say)"}));
    EXPECT_EQ(alert.dialledBy, std::vector<std::string>{"dialled by an unknown program"});
}

// A refusal the driver kept while no application was there is logged with the time it was refused
// and counted for the one notice; it raises no alert of its own.
TEST(DispatchEvent, ARefusalHandedOverLateIsLoggedWithItsTimeAndCountedNotAlerted) {
    ::setenv("LC_ALL", "C", 1);
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    test::LogFixture log;
    RecordingAlert alert;
    for (const std::int64_t time : {std::int64_t{1765467188}, std::int64_t{0}}) {
        auto record = EncodeNumberBlockedEvent("0900\r123");
        MarkRefusedEarlier(record, time);
        ASSERT_EQ(DecodeMonitorEvent(record)->refusedAt, time);
        DispatchMonitorEvent(record, log.owner, alert);
    }
    EXPECT_TRUE(alert.numbers.empty());
    EXPECT_EQ(alert.late, 2);
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{
                  "0900\r\t123 was refused on 12/11/25 at 15:33:08 while Kestrine was not "
                  "running (the driver kept it)",
                  "0900\r\t123 was refused at an unknown time while Kestrine was not running "
                  "(the driver kept it)"}));
    EXPECT_EQ(RefusedWhileAwayNotice(3),
              "3 numbers were refused while Kestrine was not running; see the log");
    EXPECT_EQ(RefusedWhileAwayNotice(1),
              "1 number was refused while Kestrine was not running; see the log");
    EXPECT_FALSE(DecodeMonitorEvent(EncodeNumberBlockedEvent("0900"))->refusedAt)
        << "a refusal as it happens is no late one";
}

class MonitorThreadTest : public ::testing::Test {
protected:
    test::LogFixture log;
    RecordingAlert alert;
    HandOverQueue handOver;
    std::shared_ptr<test::FakeMonitorDevice> device = std::make_shared<test::FakeMonitorDevice>();
    std::atomic<PortId> portId{0};
    std::vector<std::string> calls;  // beeps and sleeps, in order, as "beep" / "sleep 1000"
    MonitorServices services{
        handOver, log.owner, alert, [this] { calls.push_back("beep"); },
        [this](unsigned ms) { calls.push_back("sleep " + std::to_string(ms)); }};

    std::unique_ptr<TMonitorThread> StartOn(int com) {
        Attach(com);
        auto thread = std::make_unique<TMonitorThread>(services, device, portId);
        thread->Port = com;
        thread->Resume();
        return thread;
    }

    void Attach(int com) {
        std::array<std::uint8_t, 4> id{};
        ASSERT_TRUE(
            device->Control(IOCTL_MONITOR_ATTACH_PORT, PortNameBuffer(com), id).Succeeded());
        portId = GetU32(id, 0);
    }

    // Serves hand-overs on this (the user-interface) thread until the log holds `count` messages.
    bool ServeUntilMessages(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (log.Messages().size() < count) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            handOver.WaitAndServe(20ms);
        }
        return true;
    }

    static void Stop(std::unique_ptr<TMonitorThread>& thread) {
        thread->Terminate();
        thread->SignalStop();
        thread.reset();
    }
};

TEST_F(MonitorThreadTest, EventsReachTheLogInTheDriversOrder) {
    auto thread = StartOn(3);
    ASSERT_TRUE(device->AwaitOutstandingWait(3, 5s));
    device->QueueEvent(3, EncodeSimpleEvent(PortOpened));
    device->QueueEvent(3, EncodeDataEvent(PortWrite, "ATDT0900123\r"));
    device->QueueEvent(3, EncodeNumberBlockedEvent("0900123"));
    ASSERT_TRUE(ServeUntilMessages(4));
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{"Port Opened", "WRITE: ATDT0900123\r\t", "0900123 blocked",
                                        "dialled by an unknown program (the driver did not say)"}));
    EXPECT_EQ(alert.numbers, std::vector<std::string>{"0900123"});
    EXPECT_TRUE(calls.empty()) << "no pause after reads that completed at once";
    Stop(thread);
}

TEST_F(MonitorThreadTest, LateReadIsDispatchedThenBeepsAndPauses) {
    auto thread = StartOn(1);
    ASSERT_TRUE(device->AwaitOutstandingWait(1, 5s));
    device->PendNextRead(1);
    device->QueueEvent(1, EncodeSimpleEvent(PortFlushed));
    ASSERT_TRUE(device->AwaitOutstandingRead(1, 5s));
    EXPECT_TRUE(log.Messages().empty());
    ASSERT_TRUE(device->CompletePendingRead(1));
    ASSERT_TRUE(ServeUntilMessages(1));
    ASSERT_TRUE(device->AwaitOutstandingWait(1, 5s)) << "the thread goes back to waiting";
    EXPECT_EQ(log.Messages(), std::vector<std::string>{"Port Flushed"});
    EXPECT_EQ(calls, (std::vector<std::string>{"beep", "sleep 1000"}));
    Stop(thread);
}

TEST_F(MonitorThreadTest, StopWhileWaitingEndsAtOnceWithoutALine) {
    auto thread = StartOn(2);
    ASSERT_TRUE(device->AwaitOutstandingWait(2, 5s));
    const auto started = std::chrono::steady_clock::now();
    Stop(thread);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 900ms);
    EXPECT_TRUE(log.Messages().empty());
}

TEST_F(MonitorThreadTest, StopDuringAPendingHandOverStillLogsTheEvent) {
    device->SetAttachablePorts({5});
    Attach(5);
    device->QueueEvent(5, EncodeNumberBlockedEvent("0190"));
    auto thread = std::make_unique<TMonitorThread>(services, device, portId);
    thread->Port = 5;
    thread->Resume();
    // Nobody serves the queue yet: once the record is read the thread is stuck in its hand-over
    // when the stop comes, and the destructor must serve it rather than wait on it.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (device->QueuedEvents(5) != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(device->QueuedEvents(5), 0u);
    Stop(thread);
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{"0190 blocked",
                                        "dialled by an unknown program (the driver did not say)"}));
    EXPECT_EQ(alert.numbers, std::vector<std::string>{"0190"});
}

TEST_F(MonitorThreadTest, AStopBeforeTheThreadRunsIsNotLost) {
    Attach(4);
    auto thread = std::make_unique<TMonitorThread>(services, device, portId);
    thread->Terminate();
    thread->SignalStop();
    thread->Resume();
    thread.reset();
    EXPECT_EQ(device->RequestCount(IOCTL_MONITOR_WAIT_EVENT), 0);
}

struct FailureCase {
    std::string name;
    // Set before the thread starts: a failure set while a wait is already outstanding would not
    // touch that wait.
    std::function<void(test::FakeMonitorDevice&)> before;
    // Done once the thread waits.
    std::function<void(test::FakeMonitorDevice&)> whileWaiting;
};

TEST_F(MonitorThreadTest, FailedRequestsEndTheThreadSilently) {
    const std::vector<FailureCase> cases{
        {"wait refused",
         [](auto& d) { d.FailRequests(IOCTL_MONITOR_WAIT_EVENT, platform::ERROR_GEN_FAILURE); },
         {}},
        {"read refused",
         [](auto& d) {
             d.FailRequests(IOCTL_MONITOR_READ_EVENT, platform::ERROR_GEN_FAILURE);
             d.QueueEvent(6, EncodeSimpleEvent(PortOpened));
         },
         {}},
        {"pending wait aborted by close", {}, [](auto& d) { d.Close(); }},
        {"announced size beyond the cap",
         [](auto& d) { d.QueueEvent(6, std::vector<std::uint8_t>(kMaxEventRecordSize + 1, 0)); },
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        device = std::make_shared<test::FakeMonitorDevice>();
        Attach(6);
        if (c.before) {
            c.before(*device);
        }
        auto thread = std::make_unique<TMonitorThread>(services, device, portId);
        thread->Port = 6;
        thread->Resume();
        if (c.whileWaiting) {
            ASSERT_TRUE(device->AwaitOutstandingWait(6, 5s));
            c.whileWaiting(*device);
        }
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!thread->Finished() && std::chrono::steady_clock::now() < deadline) {
            handOver.WaitAndServe(10ms);
        }
        EXPECT_TRUE(thread->Finished());
        if (!thread->Finished()) {
            Stop(thread);  // fail, but do not hang
            continue;
        }
        thread.reset();  // no stop needed: the thread has left by itself
        EXPECT_TRUE(log.Messages().empty());
    }
    EXPECT_EQ(device->RequestCount(IOCTL_MONITOR_READ_EVENT), 0)
        << "an oversized record is not read";
}
