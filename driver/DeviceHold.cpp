#include "driver/DeviceHold.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace kestrine::driver {

namespace {

// What lies at a lock file's place. Opened without following a link and without waiting (a FIFO
// planted there would block the driver's loop for ever), and read only when it is a plain file.
enum class LockState { Missing, Holder, NoHolder, NotAFile };

LockState ReadLock(const std::filesystem::path& path, pid_t& holder) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return errno == ENOENT ? LockState::Missing : LockState::NotAFile;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return LockState::NotAFile;
    }
    char text[32] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) {
        return LockState::NoHolder;
    }
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    if (end == text || pid <= 0 || pid > 0x3FFFFFFF) {
        return LockState::NoHolder;
    }
    holder = static_cast<pid_t>(pid);
    return LockState::Holder;
}

// Whether process `pid` has the character device `device` open; true where it cannot be told
// (a process we may not look into keeps its lock).
bool HoldsDevice(pid_t pid, dev_t device) {
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* fds = ::opendir(fdDir.c_str());
    if (fds == nullptr) {
        return errno != ENOENT;
    }
    bool holds = false;
    while (const dirent* entry = ::readdir(fds)) {
        struct stat st {};
        if (entry->d_name[0] != '.' && ::fstatat(::dirfd(fds), entry->d_name, &st, 0) == 0 &&
            S_ISCHR(st.st_mode) && st.st_rdev == device) {
            holds = true;
            break;
        }
    }
    ::closedir(fds);
    return holds;
}

bool Running(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

platform::Win32Error FromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return platform::ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return platform::ERROR_ACCESS_DENIED;
        default:
            return platform::ERROR_GEN_FAILURE;
    }
}

}  // namespace

std::string UucpLock::LockFileName(const std::filesystem::path& device) {
    std::error_code ec;
    auto real = std::filesystem::canonical(device, ec);
    if (ec) {
        real = device;
    }
    return "LCK.." + real.filename().string();
}

std::optional<UucpLock> UucpLock::Acquire(const std::filesystem::path& device,
                                          const std::filesystem::path& lockDirectory,
                                          platform::Win32Error& error, pid_t* busyHolder) {
    const auto path = lockDirectory / LockFileName(device);
    // Written whole under a private name, then linked into place: nobody ever reads half a lock.
    const auto partial = lockDirectory / ("LTMP." + std::to_string(::getpid()));
    char content[16];
    std::snprintf(content, sizeof content, "%10d\n", static_cast<int>(::getpid()));
    ::unlink(partial.c_str());
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = FromErrno(errno);
        return std::nullopt;
    }
    const bool written = ::write(fd, content, 11) == 11;
    ::fchmod(fd, 0644);
    ::close(fd);
    if (!written) {
        ::unlink(partial.c_str());
        error = platform::ERROR_GEN_FAILURE;
        return std::nullopt;
    }
    // The device's numbers, to tell whether a lock's process holds it; a device that is not
    // there (yet) is held by nobody.
    std::optional<dev_t> rdev;
    struct stat deviceStat {};
    if (::stat(device.c_str(), &deviceStat) == 0 && S_ISCHR(deviceStat.st_mode)) {
        rdev = deviceStat.st_rdev;
    }
    error = platform::ERROR_BUSY;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::link(partial.c_str(), path.c_str()) == 0) {
            ::unlink(partial.c_str());
            error = platform::ERROR_SUCCESS;
            return UucpLock(path);
        }
        if (errno != EEXIST) {
            error = FromErrno(errno);
            break;
        }
        pid_t holder = 0;
        const auto state = ReadLock(path, holder);
        if (state == LockState::Missing) {
            continue;  // released meanwhile
        }
        if (state == LockState::Holder && Running(holder) &&
            (!rdev || HoldsDevice(holder, *rdev))) {
            error = platform::ERROR_BUSY;
            if (busyHolder != nullptr) {
                *busyHolder = holder;
            }
            break;
        }
        // Stale: no lock at all, its holder is gone, or it does not hold the device (a lock that
        // names some live process, PID 1 say, keeps nobody's dial from us).
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            error = FromErrno(errno);
            break;
        }
    }
    ::unlink(partial.c_str());
    return std::nullopt;
}

std::string UucpLock::DescribeProcess(pid_t pid) {
    std::string text = "process " + std::to_string(pid);
    const int fd = ::open(("/proc/" + std::to_string(pid) + "/comm").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char name[64] = {};
        const ssize_t n = ::read(fd, name, sizeof name - 1);
        ::close(fd);
        std::string shown;
        for (ssize_t i = 0; i < n && name[i] != '\n'; ++i) {
            shown += name[i] >= 0x20 && name[i] < 0x7F ? name[i] : '?';
        }
        if (!shown.empty()) {
            text += " (" + shown + ")";
        }
    }
    return text;
}

UucpLock::UucpLock(UucpLock&& other) noexcept : path_(std::exchange(other.path_, {})) {}

UucpLock& UucpLock::operator=(UucpLock&& other) noexcept {
    if (this != &other) {
        Release();
        path_ = std::exchange(other.path_, {});
    }
    return *this;
}

UucpLock::~UucpLock() {
    Release();
}

void UucpLock::Release() {
    if (path_.empty()) {
        return;
    }
    pid_t holder = 0;
    if (ReadLock(path_, holder) == LockState::Holder && holder == ::getpid()) {
        ::unlink(path_.c_str());
    }
    path_.clear();
}

bool HoldExclusively(int fd) {
    return ::ioctl(fd, TIOCEXCL) == 0;
}

void ReleaseExclusive(int fd) {
    ::ioctl(fd, TIOCNXCL);
}

}  // namespace kestrine::driver
