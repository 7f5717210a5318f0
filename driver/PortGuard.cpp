#include "driver/PortGuard.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>

namespace kestrine::driver {

namespace {

// A file's identity: device and inode, and its change time, since a freed inode number is handed
// to the next file made at once (a link removed and made again often gets the same one).
std::string Identity(const struct stat& st) {
    return std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino) + ':' +
           std::to_string(st.st_ctim.tv_sec) + '.' + std::to_string(st.st_ctim.tv_nsec);
}

// The guard's whole life: learn links until the pipe ends, then take down those that are still the
// links the driver made.
[[noreturn]] void Guard(int pipe, int rootLock) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) {
        ::signal(signal, SIG_IGN);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd = 0; fd <= 2; ++fd) {
        ::dup2(null, fd);
    }
    // Every other descriptor, a range at a time rather than one call per possible number.
    const int low = rootLock >= 0 ? std::min(pipe, rootLock) : pipe;
    const int high = std::max(pipe, rootLock);
    if (low > 3) {
        ::close_range(3, static_cast<unsigned>(low) - 1, 0);
    }
    if (high > low + 1) {
        ::close_range(static_cast<unsigned>(low) + 1, static_cast<unsigned>(high) - 1, 0);
    }
    ::close_range(static_cast<unsigned>(high) + 1, ~0U, 0);
    std::map<std::string, std::string> links;
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipe, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        // Records are "<link>\0<identity>\0", the link file's own (Identity).
        for (;;) {
            const auto linkEnd = pending.find('\0');
            const auto targetEnd =
                linkEnd == std::string::npos ? linkEnd : pending.find('\0', linkEnd + 1);
            if (targetEnd == std::string::npos) {
                break;
            }
            links[pending.substr(0, linkEnd)] =
                pending.substr(linkEnd + 1, targetEnd - linkEnd - 1);
            pending.erase(0, targetEnd + 1);
        }
    }
    for (const auto& [link, identity] : links) {
        struct stat st {};
        if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && Identity(st) == identity) {
            ::unlink(link.c_str());
        }
    }
    ::_exit(0);  // and with it the root's lock goes
}

}  // namespace

std::unique_ptr<PortGuard> PortGuard::Start(int rootLock) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return nullptr;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ends[1]);
        Guard(ends[0], rootLock);
    }
    ::close(ends[0]);
    if (pid < 0) {
        ::close(ends[1]);
        return nullptr;
    }
    return std::unique_ptr<PortGuard>(new PortGuard(UniqueFd(ends[1]), pid));
}

PortGuard::~PortGuard() = default;

void PortGuard::Published(const std::filesystem::path& link, const std::string&) {
    struct stat st {};
    if (::lstat(link.c_str(), &st) != 0) {
        return;  // nothing there to take down later
    }
    const std::string record = link.string() + '\0' + Identity(st) + '\0';
    std::size_t written = 0;
    while (written < record.size()) {
        const ssize_t n = ::write(pipe_.Get(), record.data() + written, record.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // the guard is gone: the driver's own start-up and shutdown still clean up
        }
        written += static_cast<std::size_t>(n);
    }
}

}  // namespace kestrine::driver
