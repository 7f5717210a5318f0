#pragma once
// Takes down the published ports of a driver that could not do it itself (killed with SIGKILL,
// crashed). A published port is a link to the driver's pseudo-terminal; once the driver is gone,
// that terminal's number is free for the next terminal anyone opens, and a dialling program that
// opens the port would talk to it unfiltered.
//
// The guard is a small child process, started before anything else of the driver: it waits on a
// pipe whose writing end only the driver holds, learns from it every link the driver publishes,
// and when the pipe ends (however the driver ended) removes each link that is still the very link
// the driver made (the same device and inode: a link with the same text is not enough, since a
// terminal's number is reused). It holds the root's lock (RootLock.h) until it has done so, so no
// new driver publishes meanwhile. It ignores the stop signals and ends with the pipe. A driver
// started afterwards removes whatever stale links remain before it publishes its own.
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>

#include "driver/UniqueFd.h"

namespace kestrine::driver {

class PortGuard {
public:
    // Starts the guard, which keeps `rootLock` open until it ends; nothing when it cannot (the
    // driver then runs without one).
    static std::unique_ptr<PortGuard> Start(int rootLock);
    ~PortGuard();
    PortGuard(const PortGuard&) = delete;
    PortGuard& operator=(const PortGuard&) = delete;

    // `link` now leads to `target`; the guard remembers the link file itself.
    void Published(const std::filesystem::path& link, const std::string& target);
    pid_t Pid() const { return pid_; }

private:
    PortGuard(UniqueFd pipe, pid_t pid) : pipe_(std::move(pipe)), pid_(pid) {}

    UniqueFd pipe_;
    pid_t pid_;
};

}  // namespace kestrine::driver
