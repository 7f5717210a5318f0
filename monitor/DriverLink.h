#pragma once
// The main window's link to the monitoring driver: the device handle, the per-port tables and the
// operations that open and close the driver and attach and detach the COM ports. All of it runs
// on the user-interface thread; the monitor threads read only their own PortIds slot.
#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "monitor/MonitorContract.h"
#include "monitor/MonitorThread.h"
#include "platform/Device.h"

namespace kestrine::monitor {

// Installing and opening the driver (DriverUtil), as the link uses it.
class DriverAccess {
public:
    virtual ~DriverAccess() = default;
    // An open device, or nullptr with `message` set.
    virtual std::shared_ptr<platform::Device> OpenDriverDevice(std::string& message) = 0;
    // True when the service entry was created; false with `message` set.
    virtual bool InstallDriver(std::string& message) = 0;
};

class DriverLink {
public:
    DriverLink(const MonitorServices& services, DriverAccess& access);
    // Stops whatever is still running, so no monitor thread outlives the link.
    ~DriverLink();
    DriverLink(const DriverLink&) = delete;
    DriverLink& operator=(const DriverLink&) = delete;

    // The one handle to the device; nullptr while it is not open.
    std::shared_ptr<platform::Device> DeviceHandle;
    // Indexed by COM port number 1..16; entry 0 is unused. PortIds slots are read by the monitor
    // threads while the user-interface thread may clear them, hence atomic.
    std::array<std::atomic<PortId>, kLastPort + 1> PortIds{};
    std::array<bool, kLastPort + 1> PortAttached{};
    std::array<std::unique_ptr<TMonitorThread>, kLastPort + 1> MonitorThreads;
    // Why the driver refused each port's last attach request; ERROR_SUCCESS when it did not
    // refuse (or was not asked), ERROR_FILE_NOT_FOUND for a port it does not serve.
    using AttachErrorTable = std::array<platform::Win32Error, kLastPort + 1>;
    AttachErrorTable AttachErrors{};

    // Start-up: no port attached, no thread, no device.
    void Reset();
    void OpenDriver();

    // OpenDriver (and the requests of AttachAllPorts) in two halves, so that the driver's start,
    // which waits for another process, can run on another thread while the window is built.
    // Open takes the steps through `access` (open the device; failing that, create the service
    // entry and open again, which starts the driver), then asks the device to attach COM1..COM16
    // when `attachPorts` is set; it touches nothing of a link. Take logs what the steps came to
    // and keeps the device, exactly as OpenDriver would have; AdoptPorts then records the ports
    // attached and starts a monitor thread each, as AttachAllPorts would have. `message` is the
    // message variable the steps start from.
    using PortIdTable = std::array<std::optional<PortId>, kLastPort + 1>;
    struct Opening {
        std::shared_ptr<platform::Device> device;
        std::string message;
        bool installed = false;  // the service entry was created (and the device opened again)
        std::optional<PortIdTable> ports;  // the attach requests made, when they were
        AttachErrorTable errors{};         // ... and why the refused ones were refused
    };
    static Opening Open(DriverAccess& access, std::string message, bool attachPorts);
    void Take(const Opening& opening);
    void AdoptPorts(const PortIdTable& ports, const AttachErrorTable& errors = {});
    void CloseDriver();

    bool AttachPort(int n);
    bool DetachPort(int n);
    bool StopPort(int n);
    void AttachAllPorts();
    void DetachAllPorts();

    // Whether the link still watches what it attached, without waiting: ERROR_SUCCESS;
    // ERROR_INVALID_HANDLE while no device is open; the device's own trouble (Device::Health:
    // gone away, or not answering); or the error of a monitor thread that left on a failed
    // request.
    platform::Win32Error Health() const;
    int AttachedPorts() const;
    // Ports the driver serves but refused to attach (any refusal but ERROR_FILE_NOT_FOUND, "not
    // served"): each is a modem left unguarded.
    std::vector<int> RefusedPorts() const;
    // Asks again for every refused port, starting a monitor thread for each that attaches now;
    // how many did.
    int RetryRefusedPorts();
    // Asks the driver something it answers at once and that changes nothing (a detach of port
    // ID 0, which no port ever has), so that a driver that hangs shows in Health even while no
    // other request is made: the device's time limit fails the request and Health then says
    // ERROR_TIMEOUT until the driver answers again. Synchronous: on a hung driver it takes the
    // device's time limit once (later requests fail at once).
    void Probe();
    // The reason of the last failed open (one of the driver-installation messages).
    const std::string& Message() const { return message_; }
    // Brings the link up again after its driver went away, without a log line: drops what is
    // left of the old link, opens the device (starting the driver through the service layer
    // where this user may; the service entry is not created again) and attaches the ports, a
    // monitor thread each. False when the device could not be opened (Message says why).
    bool Reconnect();

private:
    void StopRemainingThreads();
    // The driver's answer to an attach request for COM`n`: the port's ID, or none.
    static std::optional<PortId> RequestAttach(platform::Device& device, int n,
                                               platform::Win32Error& error);
    void Record(int n, PortId id);
    void StartThread(int n);

    MonitorServices services_;
    DriverAccess& access_;
    std::string message_;  // one message variable serves every OpenDriver call
};

}  // namespace kestrine::monitor
