#pragma once
// What the user is told about a COM port the driver is set to serve but would not attach: the
// port, the device it serves and why, e.g. "COM2: /dev/ttyUSB0 is locked by process 1 (systemd)".
// A port left unattached is a modem left unguarded, so it is reported like any other loss of
// protection, port by port.
#include <filesystem>
#include <string>

#include "platform/Registry.h"
#include "platform/Win32Error.h"

namespace kestrine::monitor {

// The driver's port map, where it says what serves COM`com`: "modem", a device path, or empty
// when the map names nothing for it (or cannot be read).
std::string PortBackendText(const platform::Registry& registry, int com);

// The reason for COM`com` whose attach failed with `error`. `backend` as PortBackendText gives
// it. For a device held by another process (ERROR_BUSY), the holder named by its UUCP lock file in
// `lockDirectory`, with its name from `proc`.
std::string DescribeAttachFailure(int com, platform::Win32Error error, const std::string& backend,
                                  const std::filesystem::path& lockDirectory = "/run/lock",
                                  const std::filesystem::path& proc = "/proc");

}  // namespace kestrine::monitor
