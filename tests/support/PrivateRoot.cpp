#include "tests/support/PrivateRoot.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/SystemRoot.h"

namespace kestrine::test {

namespace fs = std::filesystem;

PrivateRoot::PrivateRoot() {
    if (const char* previous = std::getenv(platform::kSystemRootVariable)) {
        hadRoot_ = true;
        previousRoot_ = previous;
    }
    ::setenv(platform::kSystemRootVariable, dir_.Path().c_str(), 1);
}

PrivateRoot::~PrivateRoot() {
    StopServices();
    if (hadRoot_) {
        ::setenv(platform::kSystemRootVariable, previousRoot_.c_str(), 1);
    } else {
        ::unsetenv(platform::kSystemRootVariable);
    }
}

void PrivateRoot::InstallDriverImage(const fs::path& builtDriver) const {
    fs::create_directories(platform::SystemDirectory(Path()));
    fs::copy_file(builtDriver, platform::SystemDirectory(Path()) / "QDDRIVER.sys",
                  fs::copy_options::overwrite_existing);
    MakeStore();
}

void PrivateRoot::MakeStore() const {
    platform::RegKey key;
    platform::Registry(platform::RegistryDatabasePath(Path()))
        .CreateKey("SOFTWARE", platform::KEY_READ | platform::KEY_WRITE, key);
}

void PrivateRoot::MakeRegistryReadOnly() const {
    const auto db = platform::RegistryDatabasePath(Path());
    platform::RegKey key;
    platform::Registry(db).CreateKey("SOFTWARE", platform::KEY_READ | platform::KEY_WRITE, key);
    key = platform::RegKey();
    for (const auto& file : {db, fs::path(db.string() + "-wal"), fs::path(db.string() + "-shm")}) {
        std::error_code ec;
        fs::permissions(file,
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove, ec);
    }
}

namespace {

// Ends `pid` (SIGTERM, then SIGKILL after five seconds).
void Stop(pid_t pid) {
    if (pid <= 0 || ::kill(pid, SIGTERM) != 0) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::kill(pid, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        if (const auto close = line.rfind(')');
            close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z') {
            return;  // ended; its new parent has not reaped it yet
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (::kill(pid, 0) == 0) {
        ::kill(pid, SIGKILL);
    }
}

// The process serving the device socket at `path`, found by its peer credentials; 0 for none.
pid_t ServerOf(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    pid_t pid = 0;
    if (fd >= 0 && text.size() < sizeof address.sun_path) {
        std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
        ucred peer{};
        socklen_t length = sizeof peer;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0) {
            pid = peer.pid;
        }
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return pid;
}

}  // namespace

void PrivateRoot::StopServices() const {
    std::error_code ec;
    const auto run = platform::ServiceRunDirectory(Path());
    if (fs::is_directory(fs::symlink_status(run, ec))) {
        for (const auto& entry : fs::directory_iterator(run, ec)) {
            pid_t pid = 0;
            std::ifstream(entry.path()) >> pid;
            Stop(pid);
            fs::remove(entry.path(), ec);
        }
    }
    // A service whose process ID could not be written (its run folder was not usable) is found
    // by the socket it serves.
    const auto device = platform::DeviceSocketPath("QDDRIVER", Path()).parent_path();
    if (fs::is_directory(fs::symlink_status(device, ec))) {
        for (const auto& entry : fs::directory_iterator(device, ec)) {
            Stop(ServerOf(entry.path()));
        }
    }
}

}  // namespace kestrine::test
