#include "driver/DeviceHold.h"

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

// The process ID a lock file names, or nothing when it names none (empty, garbage).
std::optional<pid_t> LockHolder(const std::filesystem::path& path, bool& missing) {
    missing = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        missing = errno == ENOENT;
        return std::nullopt;
    }
    char text[32] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) {
        return std::nullopt;
    }
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    if (end == text || pid <= 0 || pid > 0x3FFFFFFF) {
        return std::nullopt;
    }
    return static_cast<pid_t>(pid);
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
                                          platform::Win32Error& error) {
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
        bool missing = false;
        const auto holder = LockHolder(path, missing);
        if (missing) {
            continue;  // released meanwhile
        }
        if (holder && Running(*holder)) {
            error = platform::ERROR_BUSY;
            break;
        }
        ::unlink(path.c_str());  // stale: its holder is gone
    }
    ::unlink(partial.c_str());
    return std::nullopt;
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
    bool missing = false;
    if (LockHolder(path_, missing) == ::getpid()) {
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
