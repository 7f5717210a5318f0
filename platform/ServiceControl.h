#pragma once
// The service control manager: service entries, opening them and starting them.
//
// Entries live where the system keeps them, in the registry under
// SYSTEM\CurrentControlSet\Services\<name> (Type, Start, ErrorControl as REG_DWORD, ImagePath as
// REG_EXPAND_SZ, DisplayName as REG_SZ). Opening the manager with more than the right to connect
// needs administrative rights, which here means write access to the registry store.
//
// Starting a kernel-driver entry launches its image as a daemon: detached from the caller (its
// own session, reparented away from the caller), with KESTRINE_ROOT set to the system root, its
// standard input from /dev/null and its output appended to $KESTRINE_ROOT/log/<name>.log; its
// process ID goes to $KESTRINE_ROOT/run/<name>.pid. The start returns success only once the
// driver's device (the socket of device \\.\<name>) accepts connections. A missing image gives
// ERROR_FILE_NOT_FOUND, an image that cannot be executed ERROR_BAD_EXE_FORMAT or
// ERROR_ACCESS_DENIED, an image that ends before its device is ready ERROR_PROCESS_ABORTED, and
// one that is not ready in time ERROR_SERVICE_REQUEST_TIMEOUT (it is then stopped). Starting a
// service whose device already accepts connections fails with ERROR_SERVICE_ALREADY_RUNNING.
//
// The installed layout (SystemRoot.h) changes two things. Administrative rights mean root: every
// member of group kestrine may write the store, yet none of them may create or start a service,
// since a driver started by a member would run as that member and could not hold the devices.
// And where systemd runs, a service handed to a systemd unit (HandStartsToUnit) is started by
// `systemctl start UNIT` instead of by launching its image, so that systemd alone runs it (as
// root, hardened, restarted on failure); the start then waits for the device as above, and fails
// with ERROR_PROCESS_ABORTED when systemctl reports a failure. Where systemd does not run (CI,
// containers, a private root) images are launched as described above; in the installed layout
// only an image in the system directory (root's alone) is, since members may write ImagePath.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/Registry.h"
#include "platform/Win32Error.h"

namespace kestrine::platform {

inline constexpr std::uint32_t SC_MANAGER_CONNECT = 0x0001;
inline constexpr std::uint32_t SC_MANAGER_CREATE_SERVICE = 0x0002;
inline constexpr std::uint32_t SC_MANAGER_ALL_ACCESS = 0xF003F;
inline constexpr std::uint32_t SERVICE_START = 0x0010;
inline constexpr std::uint32_t SERVICE_STOP = 0x0020;
inline constexpr std::uint32_t SERVICE_ALL_ACCESS = 0xF01FF;
inline constexpr std::uint32_t GENERIC_EXECUTE = 0x20000000;

inline constexpr std::uint32_t SERVICE_KERNEL_DRIVER = 1;
inline constexpr std::uint32_t SERVICE_DEMAND_START = 3;
inline constexpr std::uint32_t SERVICE_DISABLED = 4;
inline constexpr std::uint32_t SERVICE_ERROR_IGNORE = 0;

inline constexpr const char* kServicesKey = R"(SYSTEM\CurrentControlSet\Services)";
inline constexpr const char* kServicesActive = "ServicesActive";

// A handle to the manager or to one service; closed when it goes (or by Close).
class ScHandle {
public:
    ScHandle() = default;
    bool IsValid() const { return state_ != nullptr; }
    void Close() { state_.reset(); }

private:
    friend class ServiceManager;
    struct State;
    std::shared_ptr<State> state_;
};

struct ServiceConfig {
    std::string name;
    std::string displayName;
    std::uint32_t type = SERVICE_KERNEL_DRIVER;
    std::uint32_t startType = SERVICE_DEMAND_START;
    std::uint32_t errorControl = SERVICE_ERROR_IGNORE;
    std::string imagePath;
};

// The manager's operations, as the driver installation uses them.
class ServiceControl {
public:
    virtual ~ServiceControl() = default;
    virtual Win32Error OpenSCManager(const std::string& database, std::uint32_t access,
                                     ScHandle& manager) const = 0;
    // Fails with ERROR_SERVICE_EXISTS when an entry of that name exists.
    virtual Win32Error CreateService(const ScHandle& manager, const ServiceConfig& config,
                                     std::uint32_t access, ScHandle& service) const = 0;
    virtual Win32Error OpenService(const ScHandle& manager, const std::string& name,
                                   std::uint32_t access, ScHandle& service) const = 0;
    virtual Win32Error StartService(const ScHandle& service) const = 0;
};

class ServiceManager : public ServiceControl {
public:
    // The manager of the system root `root`, its entries in `registry`.
    ServiceManager(std::filesystem::path root, Registry registry,
                   std::chrono::milliseconds startTimeout = std::chrono::seconds(10));
    // The manager of the current system root (with the installed layout's rule for the installed
    // root).
    static ServiceManager System();

    // Administrative rights: root only (the installed layout), or write access to the store.
    void SetAdministratorIsRoot(bool rootOnly) { administratorIsRoot_ = rootOnly; }
    // Starts of the service `name` go to the systemd unit `unit`, through `systemctl`.
    void HandStartsToUnit(std::string name, std::string unit,
                          std::filesystem::path systemctl = "systemctl");

    Win32Error OpenSCManager(const std::string& database, std::uint32_t access,
                             ScHandle& manager) const override;
    Win32Error CreateService(const ScHandle& manager, const ServiceConfig& config,
                             std::uint32_t access, ScHandle& service) const override;
    Win32Error OpenService(const ScHandle& manager, const std::string& name, std::uint32_t access,
                           ScHandle& service) const override;
    Win32Error StartService(const ScHandle& service) const override;

    // The pid file of a started service, for stopping it from outside.
    std::filesystem::path PidFile(const std::string& name) const;

private:
    Win32Error LaunchDaemon(const std::string& name, const std::string& image) const;
    Win32Error StartUnit(const std::string& name) const;
    // Waits until the device of `name` accepts connections; `daemon` (if not 0) is the process
    // that must stay alive meanwhile, and is stopped when it is not ready in time. `readyFd` (if
    // not -1) is the read end of the daemon's ready pipe: it wakes the wait early.
    Win32Error AwaitDevice(const std::string& name, int daemon, int readyFd = -1) const;
    bool DeviceAcceptsConnections(const std::string& name) const;

    std::filesystem::path root_;
    Registry registry_;
    std::chrono::milliseconds startTimeout_;
    bool administratorIsRoot_ = false;
    std::string handedService_;
    std::string unit_;
    std::filesystem::path systemctl_;
};

}  // namespace kestrine::platform
