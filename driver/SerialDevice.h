#pragma once
// Opening a device of the port map for the driver alone.
//
// The rule. The driver (root, in the installed layout) opens, changes the settings of and hangs
// up only the device root named in the port map, and only when that device is a serial port: a
// terminal whose kernel device is a serial port (it has a device under /sys/class/tty/<name> and
// answers TIOCGSERIAL, or is a USB serial or ACM device). Any other terminal (a pseudo-terminal, a
// modem bridged over the network, a test's stand-in) is served only where root marked the entry
// "any terminal" (kestrine-setup --any-tty), and even then it must be a terminal: never a file, a
// FIFO, a directory or another kind of device. Once opened, the device is made ours alone:
// every earlier opening is revoked (TIOCVHANGUP), the device is opened again and held exclusively
// (TIOCEXCL), and no other process may still hold a live opening of it.
//
// Why it holds.
//   - Every check that decides is made on the opened descriptor (fstat, isatty, TIOCGSERIAL, the
//     device numbers' entry in sysfs), so nothing can be swapped between check and use. What is
//     looked at before the open (the path's links, that it is a character device of the tty
//     class) only keeps the driver from opening what it will refuse anyway (a FIFO, /dev/watchdog).
//   - Links are followed only where their owner is root or the driver's own user (udev's
//     /dev/serial/by-id links are root's); the path they lead to is opened with no link followed
//     at all (openat2 RESOLVE_NO_SYMLINKS), so a link planted after the look is refused too.
//   - Nothing is changed on a device before it passed the checks: a refused one is only opened
//     (non-blocking, without becoming a controlling terminal) and closed again.
//   - TIOCEXCL survives the hang-up, and the second opening is made through our own first
//     descriptor (/proc/self/fd), so it is the same device and, from the moment of the first
//     TIOCEXCL, only root can open it besides us. The look through /proc afterwards finds every
//     other descriptor of the device (by its device numbers, under any name); each is taken into
//     our hands for a moment (pidfd_getfd) and asked a harmless ioctl: a revoked one answers EIO.
//     Any other (a root process that opened it meanwhile, or one we may not look at) makes the
//     device "held by another program" (ERROR_BUSY).
//
// Limits. TIOCVHANGUP and looking into other users' processes need root's rights (CAP_SYS_ADMIN,
// CAP_SYS_PTRACE): a driver run as a user (a private root) cannot revoke, so a device that another
// process holds is refused rather than taken. A process in another PID namespace is not seen in
// our /proc. A path whose folders someone else may write can be changed under the map; the
// checks on the descriptor still allow only a serial port (or a terminal, where marked).
#include <sys/types.h>

#include <string>
#include <vector>

#include "driver/PortMap.h"
#include "driver/UniqueFd.h"
#include "platform/Win32Error.h"

namespace kestrine::driver {

struct DeviceOpenResult {
    UniqueFd fd;                     // held exclusively; invalid when refused
    platform::Win32Error error = 0;  // ERROR_SUCCESS, or why the attach fails
    std::string reason;              // in words, for the driver's log
};

// Opens `backend.device` (a Device backend) as the rule above says.
DeviceOpenResult OpenHeldDevice(const PortBackend& backend);

// What `path` names, told without opening it (for kestrine-setup; the driver decides on the
// opened descriptor): NotATerminal with `problem` for a file, FIFO, folder, another kind of
// device or a link made by someone else.
enum class DeviceClass { Missing, SerialPort, OtherTerminal, NotATerminal };
DeviceClass ClassifyDevicePath(const std::string& path, std::string& problem);

// Whether the open terminal `fd` is a serial port by the rule above (not merely a terminal).
bool IsSerialPort(int fd);

// Resolves the links of `path` that are root's or this user's; empty with `reason` when a link of
// someone else's lies on the way (or links loop).
std::string ResolveTrustedLinks(const std::string& path, std::string& reason);

// The processes other than this one that hold a live opening of the character device `device`
// (revoked openings are not counted; openings that cannot be inspected are).
std::vector<pid_t> OtherLiveHolders(dev_t device);

}  // namespace kestrine::driver
