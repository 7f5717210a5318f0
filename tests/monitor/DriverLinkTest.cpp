#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "monitor/DriverLink.h"
#include "tests/support/FakeMonitorDevice.h"
#include "tests/support/LogFixture.h"

using namespace kestrine;
using namespace kestrine::monitor;
using namespace std::chrono_literals;

namespace {

struct NoAlert : BlockedAlert {
    void ShowBlockedAlert(const std::string&, const std::string&) override {}
};

// Scripted driver access: each OpenDriverDevice call takes the next outcome (nullptr = fails).
struct ScriptedAccess : DriverAccess {
    std::vector<std::shared_ptr<platform::Device>> opens;
    bool installSucceeds = false;
    std::vector<std::string> calls;

    std::shared_ptr<platform::Device> OpenDriverDevice(std::string& message) override {
        calls.push_back("open");
        auto device = opens.empty() ? nullptr : opens.front();
        if (!opens.empty()) {
            opens.erase(opens.begin());
        }
        if (!device) {
            message = "open failed #" + std::to_string(calls.size());
        }
        return device;
    }
    bool InstallDriver(std::string& message) override {
        calls.push_back("install");
        message.clear();
        if (!installSucceeds) {
            message = "Error: Cannot create service";
        }
        return installSucceeds;
    }
};

class DriverLinkTest : public ::testing::Test {
protected:
    test::LogFixture log;
    NoAlert alert;
    HandOverQueue handOver;
    MonitorServices services{handOver, log.owner, alert};
    ScriptedAccess access;
    std::shared_ptr<test::FakeMonitorDevice> device = std::make_shared<test::FakeMonitorDevice>();
    DriverLink link{services, access};
};

}  // namespace

TEST_F(DriverLinkTest, OpenDriverInstallsOnlyWhenTheFirstOpenFailsAndLogsOnlyFailures) {
    struct Case {
        std::string name;
        std::vector<std::shared_ptr<platform::Device>> opens;
        bool installSucceeds;
        std::vector<std::string> calls;
        std::vector<std::string> lines;
        bool open;
    };
    const std::vector<Case> cases{
        {"already running", {device}, false, {"open"}, {}, true},
        {"installed now", {nullptr, device}, true, {"open", "install", "open"}, {}, true},
        {"install refused",
         {nullptr},
         false,
         {"open", "install"},
         {"Unable to access device driver: Error: Cannot create service"},
         false},
        {"second open fails",
         {nullptr, nullptr},
         true,
         {"open", "install", "open"},
         {"open failed #3"},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::LogFixture caseLog;
        ScriptedAccess scripted;
        scripted.opens = c.opens;
        scripted.installSucceeds = c.installSucceeds;
        MonitorServices caseServices{handOver, caseLog.owner, alert};
        DriverLink caseLink(caseServices, scripted);
        caseLink.OpenDriver();
        EXPECT_EQ(scripted.calls, c.calls);
        EXPECT_EQ(caseLog.Messages(), c.lines);
        EXPECT_EQ(caseLink.DeviceHandle != nullptr, c.open);
    }
}

TEST_F(DriverLinkTest, AttachesTheServedPortsWithAThreadEach) {
    device->SetAttachablePorts({1, 3});
    access.opens = {device};
    link.Reset();
    link.OpenDriver();
    link.AttachAllPorts();
    EXPECT_EQ(device->RequestCount(IOCTL_MONITOR_ATTACH_PORT), 16)
        << "COM1..COM16, never COM17 and above";
    for (int n = 1; n <= 16; ++n) {
        SCOPED_TRACE(n);
        const bool served = n == 1 || n == 3;
        EXPECT_EQ(link.PortAttached[n], served);
        ASSERT_EQ(link.MonitorThreads[n] != nullptr, served);
        if (served) {
            EXPECT_EQ(link.MonitorThreads[n]->Port, n);
            EXPECT_EQ(link.PortIds[n].load(), device->PortIdOf(n));
        }
    }
    EXPECT_FALSE(link.AttachPort(1));
    EXPECT_FALSE(link.AttachPort(17));
    EXPECT_EQ(device->RequestCount(IOCTL_MONITOR_ATTACH_PORT), 16)
        << "an attached port is not offered again";
}

TEST_F(DriverLinkTest, DetachAllStopsEveryThreadAndASecondRunDoesNothing) {
    access.opens = {device};
    link.OpenDriver();
    link.AttachAllPorts();
    ASSERT_TRUE(device->AwaitOutstandingWait(16, 5s));
    link.DetachAllPorts();
    EXPECT_TRUE(device->AttachedPorts().empty());
    for (int n = 1; n <= 16; ++n) {
        EXPECT_FALSE(link.PortAttached[n]);
        EXPECT_EQ(link.PortIds[n].load(), 0u);
        EXPECT_EQ(link.MonitorThreads[n], nullptr);
    }
    link.DetachAllPorts();
    link.CloseDriver();
    link.CloseDriver();
    EXPECT_EQ(device->RequestCount(IOCTL_MONITOR_DETACH_PORT), 16);
    EXPECT_TRUE(device->IsClosed());
}

TEST_F(DriverLinkTest, WithoutADeviceNothingIsSent) {
    link.Reset();
    link.OpenDriver();  // fails: no device scripted
    link.AttachAllPorts();
    link.DetachAllPorts();
    EXPECT_EQ(device->RequestCount(IOCTL_MONITOR_ATTACH_PORT), 0);
    for (const auto& thread : link.MonitorThreads) {
        EXPECT_EQ(thread, nullptr);
    }
}

TEST_F(DriverLinkTest, ARefusedDetachKeepsThePortUntilTheDriverIsClosed) {
    device->SetAttachablePorts({2});
    access.opens = {device};
    link.OpenDriver();
    link.AttachAllPorts();
    ASSERT_TRUE(device->AwaitOutstandingWait(2, 5s));
    const auto id = link.PortIds[2].load();
    device->FailRequests(IOCTL_MONITOR_DETACH_PORT, platform::ERROR_GEN_FAILURE);

    EXPECT_FALSE(link.StopPort(2));
    EXPECT_TRUE(link.PortAttached[2]);
    EXPECT_EQ(link.PortIds[2].load(), id);
    ASSERT_NE(link.MonitorThreads[2], nullptr);
    EXPECT_FALSE(link.MonitorThreads[2]->Finished());

    // Closing the handle fails the thread's wait; the link then stops and joins the thread
    // instead of leaving it to outlive its owner.
    link.CloseDriver();
    EXPECT_EQ(link.MonitorThreads[2], nullptr);
}

// A driver that goes away is noticed through the threads' failed requests (told at once, and
// never for a stop of our own), and Reconnect brings the link up on a new device quietly.
TEST_F(DriverLinkTest, ALostDriverIsNoticedAndTheLinkComesUpAgain) {
    std::atomic<int> ended{0};
    MonitorServices watched = services;
    watched.threadEnded = [&] { ++ended; };
    DriverLink link2{watched, access};
    device->SetAttachablePorts({1, 3});
    access.opens = {device};
    link2.OpenDriver();
    link2.AttachAllPorts();
    ASSERT_TRUE(device->AwaitOutstandingWait(3, 5s));
    EXPECT_EQ(link2.Health(), platform::ERROR_SUCCESS);
    EXPECT_EQ(link2.AttachedPorts(), 2);

    device->Lose();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (ended.load() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(ended.load(), 2) << "each thread tells that it left";
    EXPECT_EQ(link2.Health(), platform::ERROR_DEVICE_NOT_CONNECTED);

    // The start path fails once, then a new driver is there.
    auto fresh = std::make_shared<test::FakeMonitorDevice>();
    fresh->SetAttachablePorts({3});
    access.opens = {nullptr, fresh};
    EXPECT_FALSE(link2.Reconnect());
    EXPECT_EQ(link2.Message(), "open failed #2");
    EXPECT_EQ(link2.Health(), platform::ERROR_INVALID_HANDLE);
    EXPECT_TRUE(device->IsClosed()) << "the old handle is let go";
    ASSERT_TRUE(link2.Reconnect());
    EXPECT_EQ(link2.Health(), platform::ERROR_SUCCESS);
    EXPECT_EQ(link2.AttachedPorts(), 1);
    EXPECT_TRUE(link2.PortAttached[3]);
    EXPECT_TRUE(fresh->AwaitOutstandingWait(3, 5s));
    EXPECT_EQ(access.calls, (std::vector<std::string>{"open", "open", "open"}))
        << "no service entry is created again";
    EXPECT_TRUE(log.Messages().empty()) << "the link itself logs nothing of it";

    link2.DetachAllPorts();
    link2.CloseDriver();
    EXPECT_EQ(ended.load(), 2) << "a stop of our own is not a thread that left";
}

// A driver that ends in order aborts its ports' waits before its connection goes: a wait that
// ends without our asking is a lost driver, told at once, while a detach of our own is not.
TEST_F(DriverLinkTest, WaitsAbortedByTheDriverAreALostDriverButOurDetachIsNot) {
    std::atomic<int> ended{0};
    MonitorServices watched = services;
    watched.threadEnded = [&] { ++ended; };
    DriverLink link2{watched, access};
    device->SetAttachablePorts({1, 3});
    access.opens = {device};
    link2.OpenDriver();
    link2.AttachAllPorts();
    ASSERT_TRUE(device->AwaitOutstandingWait(1, 5s));
    ASSERT_TRUE(device->AwaitOutstandingWait(3, 5s));

    ASSERT_TRUE(link2.StopPort(1));
    EXPECT_EQ(ended.load(), 0) << "our own detach";
    EXPECT_EQ(link2.Health(), platform::ERROR_SUCCESS);

    device->StopInOrder();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (ended.load() < 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(ended.load(), 1);
    EXPECT_NE(link2.Health(), platform::ERROR_SUCCESS) << "the device itself still answers";
}
