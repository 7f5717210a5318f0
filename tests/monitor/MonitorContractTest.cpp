#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/MonitorContract.h"

using namespace kestrine::monitor;

TEST(ControlCodes, MatchTheDriversTable) {
    EXPECT_EQ(IOCTL_MONITOR_ATTACH_PORT, 0x10012004u);
    EXPECT_EQ(IOCTL_MONITOR_DETACH_PORT, 0x10012008u);
    EXPECT_EQ(IOCTL_MONITOR_WAIT_EVENT, 0x1001200Cu);
    EXPECT_EQ(IOCTL_MONITOR_READ_EVENT, 0x10012010u);
    EXPECT_EQ(IOCTL_MONITOR_SET_ALLOWLIST, 0x10012014u);
    EXPECT_EQ(IOCTL_MONITOR_ATTACH_PORT, 268509188u);
}

TEST(PortName, IsUtf16LeWithTerminatorAndParsesBack) {
    const auto buffer = PortNameBuffer(7);
    const std::string expected = R"(\??\COM7)";
    ASSERT_EQ(buffer.size(), (expected.size() + 1) * 2);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(buffer[2 * i], static_cast<std::uint8_t>(expected[i]));
        EXPECT_EQ(buffer[2 * i + 1], 0);
    }
    EXPECT_EQ(ParsePortNameBuffer(buffer), 7);
    EXPECT_EQ(ParsePortNameBuffer(PortNameBuffer(16)), 16);
}

TEST(PortName, MalformedNamesAreRejected) {
    auto noTerminator = PortNameBuffer(3);
    noTerminator.resize(noTerminator.size() - 2);
    auto oddLength = PortNameBuffer(3);
    oddLength.pop_back();
    auto leadingZero = PortNameBuffer(3);
    leadingZero[14] = '0';
    for (const auto& bad : {noTerminator, oddLength, leadingZero, std::vector<std::uint8_t>{}}) {
        EXPECT_FALSE(ParsePortNameBuffer(bad).has_value());
    }
}

TEST(AllowListBuffer, MatchesTheContractBytes) {
    EXPECT_EQ(BuildAllowListBuffer({}), (std::vector<std::uint8_t>{1, 0, 0, 0, 0}));
    const std::vector<std::string> two{"0800", "112"};
    EXPECT_EQ(BuildAllowListBuffer(two),
              (std::vector<std::uint8_t>{1, 0, 0, 0, '0', '8', '0', '0', 0, '1', '1', '2', 0, 0}));
    const std::vector<std::string> blank{"01 23"};
    const auto buffer = BuildAllowListBuffer(blank);
    EXPECT_EQ(std::string(buffer.begin() + 4, buffer.end() - 2), "01 23");
    EXPECT_EQ(ParseAllowListBuffer(BuildAllowListBuffer(two)), two);
    EXPECT_EQ(ParseAllowListBuffer(BuildAllowListBuffer({})), std::vector<std::string>{});
}

TEST(AllowListBuffer, NumbersWithoutADialDigitAreLeftOut) {
    // An empty number's zero byte would read as the end of the list and cut off the rest.
    const std::vector<std::string> numbers{"", "0800", "  ", "(-)", "112"};
    EXPECT_EQ(BuildAllowListBuffer(numbers),
              (std::vector<std::uint8_t>{1, 0, 0, 0, '0', '8', '0', '0', 0, '1', '1', '2', 0, 0}));
    EXPECT_EQ(BuildAllowListBuffer(std::vector<std::string>{""}),
              (std::vector<std::uint8_t>{1, 0, 0, 0, 0}));
}

TEST(AllowListBuffer, AnEmptyEntryDoesNotCutOffTheNumbersBehindIt) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> buffer;
        std::vector<std::string> numbers;
    };
    const Case cases[] = {
        {"empty first", {1, 0, 0, 0, 0, '1', '2', 0, 0}, {"12"}},
        {"empty between", {1, 0, 0, 0, '1', 0, 0, '2', 0, 0}, {"1", "2"}},
        {"only empty ones", {1, 0, 0, 0, 0, 0, 0}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseAllowListBuffer(c.buffer), c.numbers) << c.what;
    }
}

TEST(AllowListBuffer, MalformedBuffersAreRejected) {
    const std::vector<std::vector<std::uint8_t>> bad{
        {1, 0, 0, 0},               // too short
        {2, 0, 0, 0, 0},            // wrong leading value
        {1, 0, 0, 0, '1', '2', 0},  // no closing zero
        {1, 0, 0, 0, '1', '2'},     // unterminated
        {1, 0, 0, 0, 0, '2'},       // unterminated after an empty entry
    };
    for (const auto& buffer : bad) {
        EXPECT_FALSE(ParseAllowListBuffer(buffer).has_value());
    }
}

TEST(DecodeMonitorEvent, IsBoundsSafe) {
    // Shorter than the header: dropped.
    EXPECT_FALSE(DecodeMonitorEvent(std::vector<std::uint8_t>(23, 0)).has_value());

    // DataLength beyond the bytes present is cut to them.
    auto read = EncodeDataEvent(PortRead, "AT");
    PutU32(read, kDataLengthOffset, 1000);
    EXPECT_EQ(DecodeMonitorEvent(read)->data, "AT");

    // A number without its zero byte ends at the record's end; DataLength is not consulted.
    auto blocked = EncodeMonitorEvent(NumberBlocked, std::vector<std::uint8_t>{'0', '9'}, 77);
    EXPECT_EQ(DecodeMonitorEvent(blocked)->data, "09");
    blocked = EncodeNumberBlockedEvent("0900");
    blocked.push_back('X');
    EXPECT_EQ(DecodeMonitorEvent(blocked)->data, "0900");

    // Fixed payloads that are missing: dropped.
    EXPECT_FALSE(DecodeMonitorEvent(EncodeSimpleEvent(BaudRateSet)).has_value());
    EXPECT_FALSE(
        DecodeMonitorEvent(EncodeMonitorEvent(LineControlSet, std::vector<std::uint8_t>{0, 0}, 2)));
}
