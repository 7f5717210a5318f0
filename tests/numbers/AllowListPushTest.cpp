#include "monitor/AllowListPush.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/MonitorContract.h"
#include "tests/support/FakeMonitorDevice.h"
#include "tests/support/LogFixture.h"

using namespace kestrine;
using kestrine::monitor::SendAllowList;
using kestrine::test::FakeMonitorDevice;
using kestrine::test::LogFixture;

namespace {
using Bytes = std::vector<std::uint8_t>;
using Numbers = std::vector<std::string>;
}  // namespace

TEST(AllowListPush, SendsTheWholeListAsOneBuffer) {
    struct Case {
        const char* what;
        Numbers list;
        Bytes expected;
    };
    const Case cases[] = {
        {"empty", {}, {1, 0, 0, 0, 0}},
        {"two numbers", {"0800", "112"}, {1, 0, 0, 0, '0', '8', '0', '0', 0, '1', '1', '2', 0, 0}},
        {"inner blank kept", {"0 1"}, {1, 0, 0, 0, '0', ' ', '1', 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeMonitorDevice device;
        LogFixture log;
        SendAllowList(&device, log.owner, c.list);
        EXPECT_EQ(device.AllowLists(), std::vector<Bytes>{c.expected});
        EXPECT_TRUE(log.Messages().empty());
    }
}

TEST(AllowListPush, WithoutADeviceNothingIsSentOrLogged) {
    LogFixture log;
    SendAllowList(nullptr, log.owner, Numbers{"112"});
    EXPECT_FALSE(std::filesystem::exists(log.Path()));
}

TEST(AllowListPush, ARefusedListIsLoggedWithTheSystemText) {
    FakeMonitorDevice device;
    device.FailRequests(monitor::IOCTL_MONITOR_SET_ALLOWLIST, platform::ERROR_ACCESS_DENIED);
    LogFixture log;
    SendAllowList(&device, log.owner, Numbers{"112"});
    EXPECT_EQ(log.Messages(), Numbers{"Cannot set the allowlist.  Error: Access is denied"});
    EXPECT_TRUE(device.AllowLists().empty());
}

TEST(AllowListPush, MessageTextsLoseTrailingBlanksControlsAndFullStops) {
    using monitor::TrimMessageText;
    EXPECT_EQ(TrimMessageText("The data is invalid.\r\n"), "The data is invalid");
    EXPECT_EQ(TrimMessageText("Wait... \t.\x01"), "Wait");
    EXPECT_EQ(TrimMessageText("a.b"), "a.b");
    EXPECT_EQ(TrimMessageText(""), "");
    EXPECT_EQ(TrimMessageText(std::string(250, 'x') + "...... yz"), std::string(250, 'x'))
        << "cut to 256 characters first, then trimmed";
    EXPECT_EQ(monitor::SystemErrorText(123456), "Unknown error (123456)");
}

TEST(AllowListPush, TheStoredListIsTheStoresCurrentOne) {
    test::TempDir root;
    numbers::TNumberList store{platform::Registry(root / "registry.db")};
    numbers::TNumberList{platform::Registry(root / "registry.db")}.SaveNumbers(
        Numbers{"0800", "112"});
    FakeMonitorDevice device;
    LogFixture log;
    monitor::SendStoredAllowList(&device, log.owner, store);
    ASSERT_EQ(device.AllowLists().size(), 1u);
    EXPECT_EQ(monitor::ParseAllowListBuffer(device.AllowLists()[0]), (Numbers{"0800", "112"}));
}
