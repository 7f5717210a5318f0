#include "driver/PortGuard.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <map>

namespace kestrine::driver {

namespace {

// The guard's whole life: learn links until the pipe ends, then take down those still leading
// where the driver made them lead.
[[noreturn]] void Guard(int pipe) {
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
    // Every other descriptor, in two calls rather than one per possible number.
    if (pipe > 3) {
        ::close_range(3, static_cast<unsigned>(pipe) - 1, 0);
    }
    ::close_range(static_cast<unsigned>(pipe) + 1, ~0U, 0);
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
        // Records are "<link>\0<target>\0".
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
    for (const auto& [link, target] : links) {
        char leadsTo[4096];
        const ssize_t length = ::readlink(link.c_str(), leadsTo, sizeof leadsTo);
        if (length >= 0 && std::string(leadsTo, static_cast<std::size_t>(length)) == target) {
            ::unlink(link.c_str());
        }
    }
    ::_exit(0);
}

}  // namespace

std::unique_ptr<PortGuard> PortGuard::Start() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return nullptr;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ends[1]);
        Guard(ends[0]);
    }
    ::close(ends[0]);
    if (pid < 0) {
        ::close(ends[1]);
        return nullptr;
    }
    return std::unique_ptr<PortGuard>(new PortGuard(UniqueFd(ends[1]), pid));
}

PortGuard::~PortGuard() = default;

void PortGuard::Published(const std::filesystem::path& link, const std::string& target) {
    const std::string record = link.string() + '\0' + target + '\0';
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
