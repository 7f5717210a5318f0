// The driver protects on its own: its ports are served from its start with the stored list, and
// applications come and go as subscribers.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "numbers/NumberListClass.h"
#include "platform/Registry.h"
#include "tests/driver/DriverHarness.h"
#include "tests/support/TempDir.h"

using namespace kestrine;
using namespace kestrine::test;

namespace {

std::vector<std::uint8_t> IdBytes(monitor::PortId id) {
    std::vector<std::uint8_t> bytes(4);
    monitor::PutU32(bytes, 0, id);
    return bytes;
}

void StoreNumbers(const std::filesystem::path& root, const std::vector<std::string>& numbers) {
    numbers::TNumberList store(platform::Registry(platform::RegistryDatabasePath(root)));
    store.SaveNumbers(numbers);
}

// Dials `number` on a fresh opening of `port` and returns the modem's final answer.
std::string Dial(const std::filesystem::path& port, const std::string& number) {
    OpenPort program(port);
    program.Write("ATDT" + number + "\r");
    std::string heard = program.ReadUntil("\r\n", 10s);
    while (heard.find("CONNECT") == std::string::npos &&
           heard.find("NO CARRIER") == std::string::npos) {
        const std::string more = program.ReadUntil("\r\n", 10s);
        if (more.empty()) {
            break;
        }
        heard += more;
    }
    if (heard.find("CONNECT") != std::string::npos) {
        return "CONNECT";
    }
    return heard.find("NO CARRIER") != std::string::npos ? "NO CARRIER" : heard;
}

class ServedPorts : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HavePtys()) {
            GTEST_SKIP() << "this machine has no pseudo-terminals (/dev/ptmx)";
        }
    }
};

}  // namespace

// With no application at all, the stored list decides from the start, a change of the store is
// followed, and a store that can no longer be read keeps the list read before. (Each stage dials
// on a port of its own: a call is left by closing the port, as the tests' programs do.)
TEST_F(ServedPorts, FromTheStartWithTheStoredListAndNoApplication) {
    DriverProcess driver(
        {"COM1=modem", "COM2=modem", "COM3=modem"},
        [](const std::filesystem::path& root) { StoreNumbers(root, {"0123456"}); });
    ASSERT_TRUE(driver.Ready());

    EXPECT_EQ(Dial(driver.Port(1), "0900123"), "NO CARRIER");
    EXPECT_EQ(Dial(driver.Port(1), "0123456"), "CONNECT");
    ASSERT_TRUE(driver.AwaitJournal("<4>COM1: 0900123 refused (dialled by"));

    StoreNumbers(driver.Root(), {"0123456", "0900123"});
    ASSERT_TRUE(driver.AwaitJournal("allowed list read from the settings store: 2 numbers"));
    EXPECT_EQ(Dial(driver.Port(2), "0900123"), "CONNECT");

    // Replaced by something that is no store: reported, and the last list stands.
    const auto store = platform::RegistryDatabasePath(driver.Root());
    WriteFile(driver.Root() / "garbage", std::string(4096, 'x'));
    std::filesystem::rename(driver.Root() / "garbage", store);
    ASSERT_TRUE(driver.AwaitJournal("dials are judged by the list read before (2 numbers)"));
    EXPECT_EQ(Dial(driver.Port(3), "0900999"), "NO CARRIER");
    EXPECT_EQ(Dial(driver.Port(3), "0900123"), "CONNECT");
}

// Two applications each get every event; one that goes takes nothing from the other, and the
// port stays served when every subscriber has gone. What is refused meanwhile goes to the next
// application that attaches.
TEST_F(ServedPorts, SubscribersComeAndGoAndEachGetsEveryEvent) {
    DriverProcess driver;
    ASSERT_TRUE(driver.Ready());
    auto first = OpenDriver();
    auto second = OpenDriver();
    ASSERT_TRUE(first && second);
    const auto firstId = Attach(*first, 1);
    const auto secondId = Attach(*second, 1);
    ASSERT_NE(firstId, 0u);
    ASSERT_NE(secondId, 0u);
    std::vector<std::uint8_t> out(4);
    EXPECT_EQ(first->Control(monitor::IOCTL_MONITOR_WAIT_EVENT, IdBytes(secondId), out).error,
              platform::ERROR_INVALID_HANDLE)
        << "a subscription is its client's own";

    EXPECT_EQ(Dial(driver.Port(1), "0900123"), "NO CARRIER");
    EXPECT_EQ(EventsUntil(*first, firstId, "blocked:0900123").back(), "blocked:0900123");
    EXPECT_EQ(EventsUntil(*second, secondId, "blocked:0900123").back(), "blocked:0900123");

    second.reset();  // gone without a detach
    EXPECT_EQ(Dial(driver.Port(1), "0900777"), "NO CARRIER");
    EXPECT_EQ(EventsUntil(*first, firstId, "blocked:0900777").back(), "blocked:0900777");

    ASSERT_TRUE(Detach(*first, firstId));
    first.reset();
    ASSERT_TRUE(std::filesystem::is_symlink(driver.Port(1))) << "served with nobody subscribed";
    const auto before = std::time(nullptr);
    EXPECT_EQ(Dial(driver.Port(1), "0900888"), "NO CARRIER");
    ASSERT_TRUE(driver.AwaitJournal("<4>COM1: 0900888 refused"));
    const auto after = std::time(nullptr);

    // Handed to the next application that attaches, first, once, marked with when it happened.
    auto third = OpenDriver();
    ASSERT_TRUE(third);
    const auto thirdId = Attach(*third, 1);
    const auto record = NextEvent(*third, thirdId);
    ASSERT_TRUE(record);
    const auto event = monitor::DecodeMonitorEvent(*record);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->data, "0900888");
    ASSERT_TRUE(event->refusedAt) << "marked as refused while nobody was there";
    EXPECT_GE(*event->refusedAt, before);
    EXPECT_LE(*event->refusedAt, after);
    auto fourth = OpenDriver();
    const auto fourthId = Attach(*fourth, 1);
    EXPECT_EQ(Dial(driver.Port(1), "0900999"), "NO CARRIER");
    EXPECT_EQ(EventsUntil(*fourth, fourthId, "blocked:0900999").front(), "opened")
        << "handed out once";
}
