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
#include <filesystem>
#include <string>

namespace kestrine::platform {

inline constexpr const char* kDefaultSystemRoot = "/var/lib/kestrine";
inline constexpr const char* kSystemRootVariable = "KESTRINE_ROOT";

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

}  // namespace kestrine::platform
