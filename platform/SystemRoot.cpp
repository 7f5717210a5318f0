#include "platform/SystemRoot.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

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

bool IsInstalledRoot(const std::filesystem::path& root) {
    auto normal = root.lexically_normal();
    if (!normal.has_filename() && normal.has_parent_path()) {
        normal = normal.parent_path();  // "/var/lib/kestrine/"
    }
    return normal == std::filesystem::path(kDefaultSystemRoot);
}

std::optional<gid_t> AccessGroup(const std::filesystem::path& root) {
    if (!IsInstalledRoot(root)) {
        return std::nullopt;
    }
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (::getgrnam_r(kAccessGroupName, &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return std::nullopt;
    }
    return found->gr_gid;
}

std::filesystem::path InstalledLogFile() {
    return std::filesystem::path(kInstalledLogDirectory) / "qdlog.log";
}

bool SystemdRuns() {
    std::error_code ec;
    return std::filesystem::is_directory("/run/systemd/system", ec);
}

bool MakeOwnFolder(const std::filesystem::path& folder, mode_t mode) {
    std::error_code ec;
    std::filesystem::create_directories(folder.parent_path(), ec);
    ::mkdir(folder.c_str(), mode);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    const bool own = ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() &&
                     ((st.st_mode & 07777) == mode || ::fchmod(fd, mode) == 0);
    ::close(fd);
    return own;
}

}  // namespace kestrine::platform
