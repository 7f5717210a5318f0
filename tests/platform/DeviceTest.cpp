#include <gtest/gtest.h>

#include <array>

#include "platform/Device.h"

using namespace kestrine::platform;

namespace {

// The least device: every overlapped request pends and is completed by the test.
class PendingDevice : public Device {
public:
    std::shared_ptr<PendingIo> last;
    IoResult Control(std::uint32_t, std::span<const std::uint8_t>,
                     std::span<std::uint8_t>) override {
        return IoResult::Fail(ERROR_INVALID_FUNCTION);
    }
    IoResult ControlOverlapped(std::uint32_t, std::span<const std::uint8_t>,
                               std::span<std::uint8_t> out, Overlapped& overlapped) override {
        last = overlapped.Begin(out.size());
        return IoResult::PendingResult();
    }
    void Close() override {}
};

}  // namespace

TEST(OverlappedResult, IncompleteThenCompletedWithOutputCutToTheAnnouncedSize) {
    PendingDevice device;
    Overlapped overlapped(Event::CreateManualReset(true));
    std::array<std::uint8_t, 4> out{};
    ASSERT_EQ(device.ControlOverlapped(1, {}, out, overlapped).status, IoStatus::Pending);
    EXPECT_FALSE(overlapped.GetEvent().IsSet()) << "starting a request resets its event";

    auto result = device.GetOverlappedResult(overlapped, out);
    EXPECT_EQ(result.status, IoStatus::Failed);
    EXPECT_EQ(result.error, ERROR_IO_INCOMPLETE);

    const std::array<std::uint8_t, 6> produced{1, 2, 3, 4, 5, 6};
    device.last->Complete(ERROR_SUCCESS, produced);
    device.last->Complete(ERROR_OPERATION_ABORTED);  // a second completion is ignored
    EXPECT_TRUE(overlapped.GetEvent().IsSet());
    result = device.GetOverlappedResult(overlapped, out);
    ASSERT_TRUE(result.Succeeded());
    EXPECT_EQ(result.bytesReturned, 4u);
    EXPECT_EQ(out, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
}

TEST(OverlappedResult, FailureCarriesTheRequestsError) {
    PendingDevice device;
    Overlapped overlapped(Event::CreateManualReset());
    std::array<std::uint8_t, 4> out{};
    device.ControlOverlapped(1, {}, out, overlapped);
    device.last->Complete(ERROR_OPERATION_ABORTED);
    const auto result = device.GetOverlappedResult(overlapped, out);
    EXPECT_EQ(result.status, IoStatus::Failed);
    EXPECT_EQ(result.error, ERROR_OPERATION_ABORTED);
}

TEST(OverlappedResult, CompletingAfterTheCallerLeftIsSafe) {
    PendingDevice device;
    {
        Overlapped overlapped(Event::CreateManualReset());
        std::vector<std::uint8_t> buffer(64);
        device.ControlOverlapped(1, {}, buffer, overlapped);
    }
    const std::vector<std::uint8_t> late(64, 0xAB);
    device.last->Complete(ERROR_SUCCESS, late);  // must not touch the dropped buffer
    EXPECT_TRUE(device.last->IsComplete());
}
