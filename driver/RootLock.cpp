#include "driver/RootLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "monitor/MonitorContract.h"
#include "platform/SystemRoot.h"

namespace kestrine::driver {

UniqueFd TakeRootLock(const std::filesystem::path& root, std::string& error,
                      std::chrono::milliseconds wait) {
    // Beside the device's socket, in the folder the driver alone writes in.
    const auto folder = platform::DeviceSocketPath(monitor::kServiceName, root).parent_path();
    if (!platform::MakeOwnFolder(folder, 0755)) {
        error = "cannot use " + folder.string() + ": a link, or not a folder of this user's";
        return {};
    }
    const auto path = folder / "QDDRIVER.lock";
    UniqueFd lock(
        ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!lock.Valid()) {
        error = "cannot open " + path.string() + ": " + std::strerror(errno);
        return {};
    }
    struct stat st {};
    if (::fstat(lock.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        error = path.string() + " is not a file of this user's";
        return {};
    }
    // The guard of a driver that just ended may still be taking down its ports: it lets go
    // within moments. A live driver does not.
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            error = "cannot lock " + path.string() + ": " + std::strerror(errno);
            return {};
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            error = "another driver already runs for " + root.string() + " (it holds " +
                    path.string() + ")";
            return {};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return lock;
}

}  // namespace kestrine::driver
