#include "platform/SystemRoot.h"

#include <cstdlib>

namespace kestrine::platform {

std::filesystem::path SystemRoot() {
    const char* root = std::getenv(kSystemRootVariable);
    return (root != nullptr && *root != '\0') ? std::filesystem::path(root)
                                              : std::filesystem::path(kDefaultSystemRoot);
}

std::filesystem::path RegistryDatabasePath(const std::filesystem::path& root) {
    return root / "registry.db";
}

std::filesystem::path SystemDirectory(const std::filesystem::path& root) {
    return root / "drivers";
}

std::filesystem::path DeviceSocketPath(const std::string& deviceName,
                                       const std::filesystem::path& root) {
    return root / "device" / (deviceName + ".sock");
}

std::filesystem::path PublishedPortPath(int comPort, const std::filesystem::path& root) {
    return root / "dev" / ("COM" + std::to_string(comPort));
}

std::filesystem::path ServiceLogDirectory(const std::filesystem::path& root) {
    return root / "log";
}

std::filesystem::path ServiceRunDirectory(const std::filesystem::path& root) {
    return root / "run";
}

}  // namespace kestrine::platform
