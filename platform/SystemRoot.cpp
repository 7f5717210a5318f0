#include "platform/SystemRoot.h"

#include <cstdlib>

namespace kestrine::platform {

std::filesystem::path SystemRoot() {
    const char* root = std::getenv(kSystemRootVariable);
    return (root != nullptr && *root != '\0') ? std::filesystem::path(root)
                                              : std::filesystem::path(kDefaultSystemRoot);
}

std::filesystem::path RegistryDatabasePath() { return SystemRoot() / "registry.db"; }

std::filesystem::path SystemDirectory() { return SystemRoot() / "drivers"; }

std::filesystem::path DeviceSocketPath(const std::string& deviceName) {
    return SystemRoot() / "device" / (deviceName + ".sock");
}

std::filesystem::path PublishedPortPath(int comPort) {
    return SystemRoot() / "dev" / ("COM" + std::to_string(comPort));
}

std::filesystem::path ServiceLogDirectory() { return SystemRoot() / "log"; }

}  // namespace kestrine::platform
