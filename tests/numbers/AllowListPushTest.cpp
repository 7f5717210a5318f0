#include "monitor/AllowListPush.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/MonitorContract.h"
#include "tests/support/LogFixture.h"

using namespace kestrine;
using kestrine::monitor::SendAllowList;
using kestrine::test::LogFixture;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Numbers = std::vector<std::string>;

// Records every synchronous request, with the output size the caller offered.
class RecordingDevice : public platform::Device {
public:
    struct Request {
        std::uint32_t code;
        Bytes input;
        std::size_t outputSize;
    };
    std::vector<Request> requests;
    platform::Win32Error refusal = platform::ERROR_SUCCESS;

    platform::IoResult Control(std::uint32_t code, std::span<const std::uint8_t> input,
                               std::span<std::uint8_t> output) override {
        requests.push_back({code, Bytes(input.begin(), input.end()), output.size()});
        return refusal != platform::ERROR_SUCCESS ? platform::IoResult::Fail(refusal)
                                                  : platform::IoResult::Done(0);
    }
    platform::IoResult ControlOverlapped(std::uint32_t, std::span<const std::uint8_t>,
                                         std::span<std::uint8_t>, platform::Overlapped&) override {
        return platform::IoResult::Fail(platform::ERROR_INVALID_FUNCTION);
    }
    void Close() override {}
};

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
        // An empty number (a bare dial allowed from its alert) would end the list early, so
        // that the driver refuses it whole; like a text without a dial digit it allows nothing.
        {"empty left out", {"", "112"}, {1, 0, 0, 0, '1', '1', '2', 0, 0}},
        {"no dial digit left out", {" ", "W,", "112"}, {1, 0, 0, 0, '1', '1', '2', 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingDevice device;
        LogFixture log;
        SendAllowList(&device, log.owner, c.list);
        ASSERT_EQ(device.requests.size(), 1u);
        EXPECT_EQ(device.requests[0].code, monitor::IOCTL_MONITOR_SET_ALLOWLIST);
        EXPECT_EQ(device.requests[0].input, c.expected);
        EXPECT_EQ(device.requests[0].outputSize, 0u);
        EXPECT_TRUE(log.Messages().empty());
    }
}

TEST(AllowListPush, WithoutADeviceNothingIsSentOrLogged) {
    LogFixture log;
    SendAllowList(nullptr, log.owner, Numbers{"112"});
    EXPECT_FALSE(std::filesystem::exists(log.Path()));
}

TEST(AllowListPush, ARefusedListIsLoggedWithTheSystemText) {
    RecordingDevice device;
    device.refusal = platform::ERROR_ACCESS_DENIED;
    LogFixture log;
    SendAllowList(&device, log.owner, Numbers{"112"});
    EXPECT_EQ(log.Messages(), Numbers{"Cannot set the allowlist.  Error: Access is denied"});
    EXPECT_EQ(device.requests.size(), 1u) << "not retried";
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
    RecordingDevice device;
    LogFixture log;
    monitor::SendStoredAllowList(&device, log.owner, store);
    ASSERT_EQ(device.requests.size(), 1u);
    EXPECT_EQ(monitor::ParseAllowListBuffer(device.requests[0].input), (Numbers{"0800", "112"}));
}
