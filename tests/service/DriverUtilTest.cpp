#include <gtest/gtest.h>

#include "monitor/DriverLink.h"
#include "monitor/DriverUtil.h"
#include "platform/SocketDevice.h"
#include "platform/SystemRoot.h"
#include "tests/support/LogFixture.h"
#include "tests/support/PrivateRoot.h"

using namespace kestrine;
using namespace kestrine::monitor;
using namespace kestrine::platform;
namespace fs = std::filesystem;

namespace {

struct NoAlert : BlockedAlert {
    void ShowBlockedAlert(const std::string&) override {}
};

// Counts how often the service control manager is asked for, to show when it is not.
class DriverInstallTest : public ::testing::Test {
protected:
    test::PrivateRoot root;
    test::LogFixture log;
    NoAlert alert;
    HandOverQueue handOver;
    MonitorServices services{handOver, log.owner, alert};
    DriverUtil util{ServiceManager(root.Path(), Registry(RegistryDatabasePath(root.Path()))),
                    SystemDirectory(root.Path()), [] { return OpenDevice(kDevicePath).device; }};
    DriverLink link{services, util};

    void TearDown() override {
        link.DetachAllPorts();
        link.CloseDriver();
    }
};

}  // namespace

TEST_F(DriverInstallTest, FreshSystemWithTheImageIsCreatedStartedAndOpenedSilently) {
    root.InstallDriverImage(QDDRIVER_BINARY);
    link.OpenDriver();
    EXPECT_NE(link.DeviceHandle, nullptr);
    EXPECT_TRUE(log.Messages().empty());
    EXPECT_EQ(util.DriverImagePath(), (SystemDirectory(root.Path()) / "QDDRIVER.sys").string());
}

TEST_F(DriverInstallTest, AStoppedServiceIsStartedWithoutInstalling) {
    root.InstallDriverImage(QDDRIVER_BINARY);
    std::string message;
    ASSERT_TRUE(util.InstallDriver(message));
    link.OpenDriver();
    EXPECT_NE(link.DeviceHandle, nullptr);
    EXPECT_TRUE(log.Messages().empty());
}

TEST_F(DriverInstallTest, ARunningDriverNeedsNoRights) {
    root.InstallDriverImage(QDDRIVER_BINARY);
    std::string message;
    ASSERT_TRUE(util.InstallDriver(message));
    ASSERT_NE(util.OpenDriverDevice(message), nullptr);  // starts it
    root.MakeRegistryReadOnly();
    link.OpenDriver();
    EXPECT_NE(link.DeviceHandle, nullptr) << "the first open succeeds; the manager is never asked";
    EXPECT_TRUE(log.Messages().empty());
}

TEST_F(DriverInstallTest, AnEntryWhoseImageIsMissingCannotBeCreatedAgain) {
    std::string message;
    ASSERT_TRUE(util.InstallDriver(message));  // the image was never put in place
    link.OpenDriver();
    EXPECT_EQ(link.DeviceHandle, nullptr);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{
                                  "Unable to access device driver: Error: Cannot create service"});
}

TEST_F(DriverInstallTest, NoServiceAndNoRights) {
    root.InstallDriverImage(QDDRIVER_BINARY);
    root.MakeRegistryReadOnly();
    link.OpenDriver();
    EXPECT_EQ(link.DeviceHandle, nullptr);
    EXPECT_EQ(log.Messages(), std::vector<std::string>{
                                  "Unable to access device driver: Error: You must have "
                                  "administrative priviledges to install QDDRIVER device driver"});
}

TEST_F(DriverInstallTest, OpenMessagesAfterASuccessfulInstall) {
    // The entry is created, but the image that would start is missing.
    link.OpenDriver();
    EXPECT_EQ(log.Messages(),
              std::vector<std::string>{
                  "Unexpected error occured starting service. Device driver may be missing"});
    std::string message = "kept";
    ScHandle none;
    EXPECT_EQ(util.OpenDriverDevice(message), nullptr);
    EXPECT_EQ(message, "Unexpected error occured starting service. Device driver may be missing");
}
