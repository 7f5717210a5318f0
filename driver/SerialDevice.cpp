#include "driver/SerialDevice.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <filesystem>

namespace kestrine::driver {

namespace {

using platform::Win32Error;

Win32Error FromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case ENOTDIR:
            return platform::ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case ELOOP:
            return platform::ERROR_ACCESS_DENIED;
        case EBUSY:
            return platform::ERROR_BUSY;
        default:
            return platform::ERROR_GEN_FAILURE;
    }
}

DeviceOpenResult Refuse(Win32Error error, std::string reason) {
    DeviceOpenResult result;
    result.error = error;
    result.reason = std::move(reason);
    return result;
}

std::string SysfsEntry(dev_t device) {
    return "/sys/dev/char/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// The last part of where the sysfs link `path` leads, or "" when there is none.
std::string LinkName(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) {
        return {};
    }
    return std::filesystem::path(std::string(target, static_cast<std::size_t>(n)))
        .filename()
        .string();
}

// A terminal with a kernel device of its own: what a serial port is and a virtual console, a
// pseudo-terminal or /dev/tty are not.
bool TtyWithDevice(dev_t device) {
    const std::string entry = SysfsEntry(device);
    struct stat st {};
    return LinkName(entry + "/subsystem") == "tty" && ::stat((entry + "/device").c_str(), &st) == 0;
}

int OpenNoLinks(const std::string& path, int flags) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    if (fd >= 0 || errno != ENOSYS) {
        return static_cast<int>(fd);
    }
    return ::open(path.c_str(), flags | O_NOFOLLOW);  // a kernel before 5.6: the last part only
}

}  // namespace

std::string ResolveTrustedLinks(const std::string& path, std::string& reason) {
    namespace fs = std::filesystem;
    if (path.empty() || path.front() != '/') {
        reason = path + " is not an absolute path";
        return {};
    }
    std::deque<std::string> todo;
    for (const auto& part : fs::path(path).relative_path()) {
        todo.push_back(part.string());
    }
    fs::path resolved = "/";
    int links = 0;
    while (!todo.empty()) {
        const std::string part = todo.front();
        todo.pop_front();
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            resolved = resolved.parent_path();
            continue;
        }
        const fs::path next = resolved / part;
        struct stat st {};
        if (::lstat(next.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            resolved = next;  // a missing part is left for the open to report
            continue;
        }
        if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
            reason = next.string() + " is a link made by another user (" +
                     std::to_string(st.st_uid) + ")";
            return {};
        }
        char target[PATH_MAX];
        const ssize_t n = ::readlink(next.c_str(), target, sizeof target - 1);
        if (n <= 0 || ++links > 40) {
            reason = "cannot follow the links of " + path;
            return {};
        }
        const fs::path to(std::string(target, static_cast<std::size_t>(n)));
        if (to.is_absolute()) {
            resolved = "/";
        }
        std::vector<std::string> parts;
        for (const auto& p : to.relative_path()) {
            parts.push_back(p.string());
        }
        todo.insert(todo.begin(), parts.begin(), parts.end());
    }
    return resolved.string();
}

DeviceClass ClassifyDevicePath(const std::string& path, std::string& problem) {
    const std::string resolved = ResolveTrustedLinks(path, problem);
    if (resolved.empty()) {
        return DeviceClass::NotATerminal;
    }
    struct stat st {};
    if (::lstat(resolved.c_str(), &st) != 0) {
        return DeviceClass::Missing;
    }
    if (!S_ISCHR(st.st_mode)) {
        problem = "not a terminal device";
        return DeviceClass::NotATerminal;
    }
    if (TtyWithDevice(st.st_rdev)) {
        return DeviceClass::SerialPort;
    }
    const std::string subsystem = LinkName(SysfsEntry(st.st_rdev) + "/subsystem");
    // Pseudo-terminal slaves have no entry in sysfs; every other terminal is of the tty class.
    const bool ptySlave = major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
    if (subsystem == "tty" || ptySlave) {
        return DeviceClass::OtherTerminal;
    }
    problem = "not a terminal device";
    return DeviceClass::NotATerminal;
}

bool IsSerialPort(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || !::isatty(fd) ||
        !TtyWithDevice(st.st_rdev)) {
        return false;
    }
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        return true;
    }
    const std::string device = SysfsEntry(st.st_rdev) + "/device";
    return LinkName(device + "/subsystem") == "usb-serial" ||
           LinkName(device + "/driver") == "cdc_acm";
}

std::vector<pid_t> OtherLiveHolders(dev_t device) {
    std::vector<pid_t> holders;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return holders;
    }
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0 || pid == self) {
            continue;
        }
        const std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (fds == nullptr) {
            continue;  // gone, or not ours to look at
        }
        bool holds = false;
        UniqueFd pidfd;
        while (const dirent* fdEntry = ::readdir(fds)) {
            struct stat st {};
            if (fdEntry->d_name[0] == '.' ||
                ::fstatat(::dirfd(fds), fdEntry->d_name, &st, 0) != 0 || !S_ISCHR(st.st_mode) ||
                st.st_rdev != device) {
                continue;
            }
            if (!pidfd.Valid()) {
                pidfd.Reset(
                    static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)));
            }
            const int number = std::atoi(fdEntry->d_name);
            UniqueFd copy(pidfd.Valid()
                              ? static_cast<int>(::syscall(SYS_pidfd_getfd, pidfd.Get(), number, 0))
                              : -1);
            if (!copy.Valid() && (errno == EBADF || errno == ESRCH)) {
                continue;  // closed, or the process ended, meanwhile
            }
            int exclusive = 0;
            if (copy.Valid() && ::ioctl(copy.Get(), TIOCGEXCL, &exclusive) != 0 && errno == EIO) {
                continue;  // revoked by a hang-up: it can do nothing any more
            }
            holds = true;
            break;
        }
        ::closedir(fds);
        if (holds) {
            holders.push_back(static_cast<pid_t>(pid));
        }
    }
    ::closedir(proc);
    return holders;
}

DeviceOpenResult OpenHeldDevice(const PortBackend& backend) {
    const std::string& path = backend.device;
    std::string reason;
    const std::string resolved = ResolveTrustedLinks(path, reason);
    if (resolved.empty()) {
        return Refuse(platform::ERROR_ACCESS_DENIED, reason);
    }
    struct stat seen {};
    if (::lstat(resolved.c_str(), &seen) != 0) {
        return Refuse(FromErrno(errno), path + ": " + std::strerror(errno));
    }
    const std::string notSerial =
        path +
        " is not a serial port (root may map another terminal with kestrine-setup "
        "--any-tty)";
    if (!S_ISCHR(seen.st_mode)) {
        return Refuse(platform::ERROR_NOT_SUPPORTED, path + " is not a terminal device");
    }
    if (!backend.anyTty && !TtyWithDevice(seen.st_rdev)) {
        return Refuse(platform::ERROR_NOT_SUPPORTED, notSerial);
    }

    UniqueFd first(OpenNoLinks(resolved, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!first.Valid()) {
        return Refuse(FromErrno(errno), path + ": " + std::strerror(errno));
    }
    struct stat opened {};
    if (::fstat(first.Get(), &opened) != 0 || !S_ISCHR(opened.st_mode) ||
        opened.st_rdev != seen.st_rdev || !::isatty(first.Get())) {
        return Refuse(platform::ERROR_NOT_SUPPORTED, path + " is not a terminal device");
    }
    if (!backend.anyTty && !IsSerialPort(first.Get())) {
        return Refuse(platform::ERROR_NOT_SUPPORTED, notSerial);
    }

    // From here on only root opens it besides us; then every earlier opening is revoked.
    ::ioctl(first.Get(), TIOCEXCL);
    DeviceOpenResult result;
    if (::ioctl(first.Get(), TIOCVHANGUP) == 0) {
        const std::string self = "/proc/self/fd/" + std::to_string(first.Get());
        result.fd.Reset(::open(self.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        struct stat again {};
        if (!result.fd.Valid() || ::fstat(result.fd.Get(), &again) != 0 ||
            again.st_rdev != opened.st_rdev) {
            return Refuse(platform::ERROR_GEN_FAILURE,
                          path + " could not be opened again after revoking its other openings");
        }
        ::ioctl(result.fd.Get(), TIOCEXCL);
    } else {
        result.fd = std::move(first);  // not ours to revoke (no root): the look below decides
    }
    first.Reset();

    if (const auto others = OtherLiveHolders(opened.st_rdev); !others.empty()) {
        ::ioctl(result.fd.Get(), TIOCNXCL);
        return Refuse(platform::ERROR_BUSY, path + " is held by another program (process " +
                                                std::to_string(others.front()) + ")");
    }
    result.error = platform::ERROR_SUCCESS;
    return result;
}

}  // namespace kestrine::driver
