#pragma once
// Installing and opening the monitoring driver: its service entry, its start, its device.
// Failures are reported through the message out-parameter, never shown.
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "monitor/DriverLink.h"
#include "platform/Device.h"
#include "platform/ServiceControl.h"

namespace kestrine::monitor {

class DriverUtil : public DriverAccess {
public:
    using DeviceOpener = std::function<std::shared_ptr<platform::Device>()>;

    // `services` is the service control manager, `systemDirectory` where the driver image lies;
    // `openDevice` opens \\.\QDDRIVER.
    DriverUtil(std::shared_ptr<const platform::ServiceControl> services,
               std::filesystem::path systemDirectory, DeviceOpener openDevice);
    // The driver of the current system root.
    static DriverUtil System();

    // The system directory, without a trailing separator.
    std::string GetSystemDir() const;
    // The image path the service entry names: the system directory, a separator, QDDRIVER.sys.
    std::string DriverImagePath() const;

    bool InstallDriver(std::string& message) override;
    std::shared_ptr<platform::Device> OpenDriverDevice(std::string& message) override;

private:
    std::shared_ptr<const platform::ServiceControl> services_;
    std::filesystem::path systemDirectory_;
    DeviceOpener openDevice_;
};

}  // namespace kestrine::monitor
