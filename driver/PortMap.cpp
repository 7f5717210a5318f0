#include "driver/PortMap.h"

#include <sys/stat.h>

#include <algorithm>

#include "platform/Registry.h"
#include "platform/SystemRoot.h"

namespace kestrine::driver {

namespace {
std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    return out;
}
}  // namespace

std::optional<PortBackend> ParseBackend(std::string_view text) {
    if (Lower(text) == "modem") {
        return PortBackend{PortBackend::Kind::Modem, {}};
    }
    if (text.size() > 1 && text.front() == '/' && text.find('\0') == std::string_view::npos) {
        return PortBackend{PortBackend::Kind::Device, std::string(text)};
    }
    return std::nullopt;
}

std::optional<int> ParseComName(std::string_view name) {
    const std::string lower = Lower(name);
    if (lower.size() < 4 || lower.size() > 5 || lower.compare(0, 3, "com") != 0 ||
        lower[3] == '0') {
        return std::nullopt;
    }
    int n = 0;
    for (std::size_t i = 3; i < lower.size(); ++i) {
        if (lower[i] < '0' || lower[i] > '9') {
            return std::nullopt;
        }
        n = n * 10 + (lower[i] - '0');
    }
    if (n < 1 || n > kMaxComPort) {
        return std::nullopt;
    }
    return n;
}

bool AddPortAssignment(std::string_view assignment, PortMap& map, std::string& error) {
    const auto equals = assignment.find('=');
    if (equals == std::string_view::npos) {
        error = "expected COMn=modem or COMn=/dev/...: " + std::string(assignment);
        return false;
    }
    const auto com = ParseComName(assignment.substr(0, equals));
    if (!com) {
        error = "not a port from COM1 to COM16: " + std::string(assignment.substr(0, equals));
        return false;
    }
    const auto backend = ParseBackend(assignment.substr(equals + 1));
    if (!backend) {
        error =
            "not 'modem' or an absolute device path: " + std::string(assignment.substr(equals + 1));
        return false;
    }
    map[*com] = *backend;
    return true;
}

PortMap ReadPortMapFromRegistry() {
    return ReadPortMapFromRegistry(platform::Registry::System());
}

PortMap ReadPortMapFromRegistry(const platform::Registry& registry) {
    PortMap map;
    platform::RegKey key;
    if (registry.OpenKey(kPortMapKey, platform::KEY_QUERY_VALUE, key) != platform::ERROR_SUCCESS) {
        return map;
    }
    std::string name;
    for (std::uint32_t i = 0; key.EnumValue(i, name) == platform::ERROR_SUCCESS; ++i) {
        platform::RegValue value;
        const auto com = ParseComName(name);
        if (!com || key.QueryValue(name, value) != platform::ERROR_SUCCESS ||
            value.type != platform::REG_SZ) {
            continue;
        }
        if (const auto backend = ParseBackend(value.data)) {
            map[*com] = *backend;
        }
    }
    return map;
}

PortMap RegistryPortMap::Read() {
    const auto path = platform::RegistryDatabasePath();
    struct stat file {};
    const bool exists = ::stat(path.c_str(), &file) == 0;
    if (!exists || !registry_ || file.st_dev != device_ || file.st_ino != inode_) {
        registry_.reset();
        if (!exists) {
            return {};
        }
        registry_.emplace(path);
        device_ = file.st_dev;
        inode_ = file.st_ino;
    }
    return ReadPortMapFromRegistry(*registry_);
}

}  // namespace kestrine::driver
