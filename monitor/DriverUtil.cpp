#include "monitor/DriverUtil.h"

#include "monitor/MonitorContract.h"
#include "platform/SocketDevice.h"
#include "platform/SystemRoot.h"

namespace kestrine::monitor {

using namespace platform;

namespace {
constexpr std::uint32_t kServiceOpenAccess = DELETE | SERVICE_START | SERVICE_STOP;  // 0x10030
constexpr std::size_t kSystemDirBuffer = 261;
}  // namespace

DriverUtil::DriverUtil(std::shared_ptr<const ServiceControl> services,
                       std::filesystem::path systemDirectory, DeviceOpener openDevice)
    : services_(std::move(services)),
      systemDirectory_(std::move(systemDirectory)),
      openDevice_(std::move(openDevice)) {}

DriverUtil DriverUtil::System() {
    auto services = std::make_shared<ServiceManager>(ServiceManager::System());
    // Installed, the driver is systemd's to run: a start goes through its unit.
    if (IsInstalledRoot() && SystemdRuns()) {
        services->HandStartsToUnit(kServiceName, kDriverUnitName);
    }
    return DriverUtil(std::move(services), SystemDirectory(),
                      [] { return OpenDevice(kDevicePath).device; });
}

std::string DriverUtil::GetSystemDir() const {
    std::string dir = systemDirectory_.string();
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    // A directory that does not fit the caller's buffer is not returned at all.
    return dir.size() < kSystemDirBuffer ? dir : std::string();
}

std::string DriverUtil::DriverImagePath() const {
    std::string path = GetSystemDir();
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    return path + kServiceName + ".sys";
}

bool DriverUtil::InstallDriver(std::string& message) {
    message.clear();
    ScHandle manager;
    if (services_->OpenSCManager(kServicesActive, SC_MANAGER_ALL_ACCESS, manager) !=
        ERROR_SUCCESS) {
        message = std::string("Error: You must have administrative priviledges to install ") +
                  kServiceName + " device driver";
        return false;
    }
    ServiceConfig config;
    config.name = kServiceName;
    config.displayName = kServiceName;
    config.type = SERVICE_KERNEL_DRIVER;
    config.startType = SERVICE_DEMAND_START;
    config.errorControl = SERVICE_ERROR_IGNORE;
    config.imagePath = DriverImagePath();
    ScHandle service;
    const Win32Error error =
        services_->CreateService(manager, config, SERVICE_ALL_ACCESS | GENERIC_EXECUTE, service);
    manager.Close();
    if (error != ERROR_SUCCESS) {
        message = "Error: Cannot create service";
        return false;
    }
    service.Close();
    return true;
}

std::shared_ptr<Device> DriverUtil::OpenDriverDevice(std::string& message) {
    if (auto device = openDevice_()) {
        return device;
    }
    ScHandle manager;
    if (services_->OpenSCManager(kServicesActive, SC_MANAGER_ALL_ACCESS, manager) !=
        ERROR_SUCCESS) {
        message =
            "Sorrelin cannot open SCM. You must have administrative privileges to start service.";
        return nullptr;
    }
    ScHandle service;
    const Win32Error opened =
        services_->OpenService(manager, kServiceName, kServiceOpenAccess, service);
    manager.Close();
    if (opened != ERROR_SUCCESS) {
        message = "Cannot open driver service.  Your system does not have device driver installed.";
        return nullptr;
    }
    if (services_->StartService(service) != ERROR_SUCCESS) {
        service.Close();
        message = "Unexpected error occured starting service. Device driver may be missing";
        return nullptr;
    }
    service.Close();
    auto device = openDevice_();
    if (!device) {
        message = "Unexpected error occured. Cannot get access to device driver";
    }
    return device;
}

}  // namespace kestrine::monitor
