#include <gtest/gtest.h>

#include <functional>
#include <map>

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
    void ShowBlockedAlert(const std::string&, const std::string&) override {}
};

// The real service control manager of the root, counting what it is asked.
class CountingServices : public ServiceControl {
public:
    explicit CountingServices(const fs::path& root)
        : real_(root, Registry(RegistryDatabasePath(root))) {}
    mutable std::map<std::string, int> calls;
    int Total() const {
        int total = 0;
        for (const auto& [name, count] : calls) {
            total += count;
        }
        return total;
    }

    Win32Error OpenSCManager(const std::string& database, std::uint32_t access,
                             ScHandle& manager) const override {
        ++calls["OpenSCManager"];
        return real_.OpenSCManager(database, access, manager);
    }
    Win32Error CreateService(const ScHandle& manager, const ServiceConfig& config,
                             std::uint32_t access, ScHandle& service) const override {
        ++calls["CreateService"];
        return real_.CreateService(manager, config, access, service);
    }
    Win32Error OpenService(const ScHandle& manager, const std::string& name, std::uint32_t access,
                           ScHandle& service) const override {
        ++calls["OpenService"];
        return real_.OpenService(manager, name, access, service);
    }
    Win32Error StartService(const ScHandle& service) const override {
        ++calls["StartService"];
        return real_.StartService(service);
    }

private:
    ServiceManager real_;
};

std::shared_ptr<Device> OpenTheDevice() {
    return OpenDevice(kDevicePath).device;
}

class DriverInstallTest : public ::testing::Test {
protected:
    test::PrivateRoot root;
    test::LogFixture log;
    NoAlert alert;
    HandOverQueue handOver;
    MonitorServices services{handOver, log.owner, alert};
    std::shared_ptr<CountingServices> scm = std::make_shared<CountingServices>(root.Path());
    DriverUtil util{scm, SystemDirectory(root.Path()), OpenTheDevice};
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
    EXPECT_EQ(scm->calls["CreateService"], 1);
    EXPECT_EQ(scm->calls["StartService"], 1);
}

TEST_F(DriverInstallTest, AStoppedServiceIsStartedWithoutInstalling) {
    root.InstallDriverImage(QDDRIVER_BINARY);
    std::string message;
    ASSERT_TRUE(util.InstallDriver(message));
    scm->calls.clear();
    link.OpenDriver();
    EXPECT_NE(link.DeviceHandle, nullptr);
    EXPECT_TRUE(log.Messages().empty());
    EXPECT_EQ(scm->calls["CreateService"], 0) << "InstallDriver is not called";
    EXPECT_EQ(scm->calls["StartService"], 1);
}

TEST_F(DriverInstallTest, ARunningDriverNeedsNoRights) {
    root.InstallDriverImage(QDDRIVER_BINARY);
    std::string message;
    ASSERT_TRUE(util.InstallDriver(message));
    ASSERT_NE(util.OpenDriverDevice(message), nullptr);  // starts it
    root.MakeRegistryReadOnly();
    scm->calls.clear();
    link.OpenDriver();
    EXPECT_NE(link.DeviceHandle, nullptr) << "the first open succeeds";
    EXPECT_EQ(scm->Total(), 0) << "the service control manager is never asked";
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
}

TEST_F(DriverInstallTest, EachWayTheOpenFailsHasItsMessage) {
    struct Row {
        const char* what;
        std::function<void(const test::PrivateRoot&, DriverUtil&)> arrange;
        std::string message;
    };
    const Row rows[] = {
        {"no rights to the service control manager",
         [](const test::PrivateRoot& at, DriverUtil&) { at.MakeRegistryReadOnly(); },
         "Sorrelin cannot open SCM. You must have administrative privileges to start service."},
        {"no service entry", [](const test::PrivateRoot&, DriverUtil&) {},
         "Cannot open driver service.  Your system does not have device driver installed."},
        {"the image is missing",
         [](const test::PrivateRoot&, DriverUtil& at) {
             std::string unused;
             ASSERT_TRUE(at.InstallDriver(unused));
         },
         "Unexpected error occured starting service. Device driver may be missing"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const test::PrivateRoot rowRoot;
        DriverUtil rowUtil(std::make_shared<CountingServices>(rowRoot.Path()),
                           SystemDirectory(rowRoot.Path()), OpenTheDevice);
        row.arrange(rowRoot, rowUtil);
        std::string message = "kept";
        EXPECT_EQ(rowUtil.OpenDriverDevice(message), nullptr);
        EXPECT_EQ(message, row.message);
    }
}

TEST_F(DriverInstallTest, ADriverThatStartsButCannotBeOpenedIsReported) {
    // The device is ready once the start returns, but this process cannot open it.
    root.InstallDriverImage(QDDRIVER_BINARY);
    DriverUtil refused(scm, SystemDirectory(root.Path()), [] { return nullptr; });
    std::string message;
    ASSERT_TRUE(refused.InstallDriver(message));
    EXPECT_EQ(refused.OpenDriverDevice(message), nullptr);
    EXPECT_EQ(scm->calls["StartService"], 1);
    EXPECT_EQ(message, "Unexpected error occured. Cannot get access to device driver");
}
