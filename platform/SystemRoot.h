#pragma once
// The system root: one directory that holds what the operating system would keep for the product
// (the registry database, the driver directory, the device sockets, the published COM ports).
//
//   $KESTRINE_ROOT/registry.db          the registry (HKEY_LOCAL_MACHINE)
//   $KESTRINE_ROOT/drivers/             the system directory; the driver image is QDDRIVER.sys here
//   $KESTRINE_ROOT/device/<NAME>.sock   the socket of device \\.\<NAME>
//   $KESTRINE_ROOT/dev/COM<n>           a COM port published by the monitoring driver
//   $KESTRINE_ROOT/log/                 output of services started from the root
//   $KESTRINE_ROOT/run/<NAME>.pid       process ID of a started service
//
// KESTRINE_ROOT relocates it (every test and developer run uses a private root); without it the
// installed default /var/lib/kestrine is used. A Unix socket path holds at most 107 bytes, which
// limits how deep a root may lie.
//
// The installed layout (the Debian package) adds what lies outside the root: the program folder
// /usr/lib/kestrine (kestrine, qdhelp.hlp, and qdlog.log as a link into /var/log/kestrine, so
// that the log stays beside the program while /usr is read-only), the driver run by systemd as
// root, and the system group kestrine whose members share the store, the log and the driver's
// socket with root. Its rules apply only to the installed root, never to a private one:
//   - administrative rights (creating or starting services) mean root, not write access to the
//     store, which every member of the group has;
//   - registry.db, the log and the driver's socket belong to group kestrine, without access for
//     others; the root folder is setgid (what members create there stays the group's) and
//     sticky (nobody but root replaces what root put there, the driver image above all).
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace kestrine::platform {

inline constexpr const char* kDefaultSystemRoot = "/var/lib/kestrine";
inline constexpr const char* kSystemRootVariable = "KESTRINE_ROOT";
// Set by the service layer for a driver it starts: a pipe on which the driver writes one byte
// once it accepts requests, so that the start waits no longer than the driver takes.
inline constexpr const char* kDriverReadyVariable = "QDDRIVER_READY_FD";

std::filesystem::path SystemRoot();
// Each place below is in the current system root unless another root is given.
std::filesystem::path RegistryDatabasePath(const std::filesystem::path& root = SystemRoot());
std::filesystem::path SystemDirectory(const std::filesystem::path& root = SystemRoot());
std::filesystem::path DeviceSocketPath(const std::string& deviceName,
                                       const std::filesystem::path& root = SystemRoot());
std::filesystem::path PublishedPortPath(int comPort,
                                        const std::filesystem::path& root = SystemRoot());
std::filesystem::path ServiceLogDirectory(const std::filesystem::path& root = SystemRoot());
std::filesystem::path ServiceRunDirectory(const std::filesystem::path& root = SystemRoot());

// Makes `folder` (and what is missing above it) and gives it `mode`, through a descriptor that
// does not follow a link. False when a link, anything but a folder, or another user's folder lies
// there: what is written into it could land wherever someone else pointed it.
bool MakeOwnFolder(const std::filesystem::path& folder, mode_t mode);

inline constexpr const char* kInstalledProgramDirectory = "/usr/lib/kestrine";
inline constexpr const char* kInstalledLogDirectory = "/var/log/kestrine";
inline constexpr const char* kAccessGroupName = "kestrine";
// The systemd unit that runs the driver in the installed layout.
inline constexpr const char* kDriverUnitName = "kestrine-driver.service";
// The udev rules kestrine-setup writes for the real devices of the port map.
inline constexpr const char* kUdevRulesPath = "/etc/udev/rules.d/70-kestrine.rules";
// Where serial devices are locked by the UUCP convention (LCK..<name>).
inline constexpr const char* kUucpLockDirectory = "/run/lock";

// Whether `root` is the installed system root, where the installed layout's rules apply.
bool IsInstalledRoot(const std::filesystem::path& root = SystemRoot());
// The group that shares the store, the log and the driver's socket with root: kestrine's group ID
// for the installed root when that group exists; nothing for a private root.
std::optional<gid_t> AccessGroup(const std::filesystem::path& root = SystemRoot());
// The log file the program folder's qdlog.log links to in the installed layout.
std::filesystem::path InstalledLogFile();
// Whether systemd manages this machine's services (it is not running in containers and CI).
bool SystemdRuns();

}  // namespace kestrine::platform
