#pragma once
// Holding a real serial device for the driver alone, in the two ways Linux programs respect:
//   - the UUCP lock file LCK..<name> in /run/lock, the convention of pppd, minicom and
//     ModemManager: <name> is the device's own name (a symbolic link such as
//     /dev/serial/by-id/... is resolved first, so that every path to one device meets one lock),
//     the content the holder's process ID as ten characters and a newline. A lock whose process
//     is gone, whose content names no process, or whose process does not hold the device open
//     (anyone may write a lock naming PID 1) is stale and is taken over. Whatever lies at the
//     lock's place is opened without following a link and without waiting, and read only when it
//     is a plain file: anything else (a FIFO that would block the driver for ever, a link that
//     leads elsewhere) is no lock and is removed.
//   - TIOCEXCL on the open device: from then on an open by anyone without CAP_SYS_ADMIN (root)
//     fails with EBUSY, whether or not the program honours lock files.
// Both end with the hold: at detach, at the driver's end, and with the driver's process (the
// kernel drops TIOCEXCL with the last descriptor; a lock file left by a killed driver is stale).
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/Win32Error.h"

namespace kestrine::driver {

class UucpLock {
public:
    // Locks `device` in `lockDirectory` for this process. ERROR_BUSY when a running process
    // that holds the device open (this one included: a device serves one port at a time), or one
    // we may not look into, holds the lock; ERROR_ACCESS_DENIED or
    // ERROR_PATH_NOT_FOUND when no lock file can be made there.
    // `holder`, when given, gets the process that holds the lock on ERROR_BUSY.
    static std::optional<UucpLock> Acquire(const std::filesystem::path& device,
                                           const std::filesystem::path& lockDirectory,
                                           platform::Win32Error& error, pid_t* holder = nullptr);
    // "process 1234 (minicom)", for a message.
    static std::string DescribeProcess(pid_t pid);
    // LCK..<name> for `device`, as other programs name it.
    static std::string LockFileName(const std::filesystem::path& device);

    UucpLock(UucpLock&& other) noexcept;
    UucpLock& operator=(UucpLock&& other) noexcept;
    UucpLock(const UucpLock&) = delete;
    UucpLock& operator=(const UucpLock&) = delete;
    // Removes the lock file, if it is still this process's.
    ~UucpLock();

    const std::filesystem::path& Path() const { return path_; }

private:
    explicit UucpLock(std::filesystem::path path) : path_(std::move(path)) {}
    void Release();
    std::filesystem::path path_;
};

// Makes the open terminal `fd` exclusive (TIOCEXCL); false when it is no terminal.
bool HoldExclusively(int fd);
// Lifts it again (TIOCNXCL), before the descriptor is closed.
void ReleaseExclusive(int fd);

}  // namespace kestrine::driver
