#pragma once
// The device client on Linux: a handle to a device is one connection to the Unix socket its
// driver listens on (platform::DeviceSocketPath). Many requests share the connection at once,
// matched by request id; a reader thread completes overlapped requests as their answers arrive.
#include <chrono>
#include <memory>
#include <string>

#include "platform/Device.h"

namespace kestrine::platform {

struct DeviceOpenResult {
    std::shared_ptr<Device> device;  // empty on failure
    Win32Error error = ERROR_SUCCESS;
};

// How long a synchronous request waits for its answer. The driver answers those at once; one
// that does not within this time is taken to hang: the request fails with ERROR_TIMEOUT, and so
// does every synchronous request after it, at once, until the driver answers again (Health says
// so meanwhile). A caller on the user-interface thread thus waits this long once, never for ever.
// Overlapped requests are not bounded: a monitor thread may wait as long as its port is quiet.
inline constexpr std::chrono::milliseconds kRequestTimeLimit{2000};

// Opens a device by its path, e.g. \\.\QDDRIVER. Fails with ERROR_FILE_NOT_FOUND when no driver
// serves it, ERROR_ACCESS_DENIED when the driver refuses this process, ERROR_BAD_PATHNAME for a
// path that does not name a device, ERROR_REVISION_MISMATCH for a driver speaking another
// protocol version.
DeviceOpenResult OpenDevice(const std::string& path,
                            std::chrono::milliseconds timeLimit = kRequestTimeLimit);

// The name part of a device path (\\.\NAME), or an empty string when it is not one.
std::string DeviceNameOf(const std::string& path);

}  // namespace kestrine::platform
