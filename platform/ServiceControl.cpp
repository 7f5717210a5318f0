#include "platform/ServiceControl.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/Process.h"
#include "platform/SystemRoot.h"

namespace kestrine::platform {

struct ScHandle::State {
    std::string service;  // empty for the manager itself
    std::uint32_t access = 0;
};

namespace {

constexpr std::uint32_t kManagerWriteRights =
    SC_MANAGER_ALL_ACCESS & ~SC_MANAGER_CONNECT & ~0x20000u;

std::string ServiceKey(const std::string& name) {
    return std::string(kServicesKey) + "\\" + name;
}

// A service is registered when its key holds a Type: a key that only carries the driver's own
// configuration (its Parameters subkey, written by the installation step) is no service yet.
bool IsRegistered(const RegKey& key) {
    RegValue type;
    return key.QueryValue("Type", type) == ERROR_SUCCESS;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return ::strcasecmp(a.c_str(), b.c_str()) == 0;
}

Win32Error ErrorOfExec(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        default:
            return ERROR_BAD_EXE_FORMAT;
    }
}

// Written beside the pid file and renamed over it: a link planted in its place is replaced, not
// followed.
void WritePidFile(const std::filesystem::path& path, int pid) {
    const std::string temporary = path.string() + ".new";
    ::unlink(temporary.c_str());
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    const std::string text = std::to_string(pid) + '\n';
    const bool written = WriteAll(fd, text.data(), text.size());
    ::close(fd);
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
    }
}

}  // namespace

ServiceManager::ServiceManager(std::filesystem::path root, Registry registry,
                               std::chrono::milliseconds startTimeout)
    : root_(std::move(root)), registry_(std::move(registry)), startTimeout_(startTimeout) {}

ServiceManager ServiceManager::System() {
    const auto root = SystemRoot();
    ServiceManager manager(root, Registry::Existing(RegistryDatabasePath(root)));
    manager.SetAdministratorIsRoot(IsInstalledRoot(root));
    return manager;
}

void ServiceManager::HandStartsToUnit(std::string name, std::string unit,
                                      std::filesystem::path systemctl) {
    handedService_ = std::move(name);
    unit_ = std::move(unit);
    systemctl_ = std::move(systemctl);
}

std::filesystem::path ServiceManager::PidFile(const std::string& name) const {
    return ServiceRunDirectory(root_) / (name + ".pid");
}

Win32Error ServiceManager::OpenSCManager(const std::string& database, std::uint32_t access,
                                         ScHandle& manager) const {
    manager.Close();
    if (database != kServicesActive) {
        return ERROR_INVALID_NAME;
    }
    // Anything beyond connecting and reading changes entries: it needs a writable store.
    const bool wantsWrite = (access & kManagerWriteRights) != 0;
    if (wantsWrite && administratorIsRoot_ && ::geteuid() != 0) {
        return ERROR_ACCESS_DENIED;
    }
    RegKey key;
    Win32Error error = wantsWrite ? registry_.CreateKey(kServicesKey, KEY_READ | KEY_WRITE, key)
                                  : registry_.OpenKey(kServicesKey, KEY_READ, key);
    if (error == ERROR_FILE_NOT_FOUND && !wantsWrite) {
        error = ERROR_SUCCESS;  // no entries yet: connecting still works
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    manager.state_ = std::make_shared<ScHandle::State>(ScHandle::State{"", access});
    return ERROR_SUCCESS;
}

Win32Error ServiceManager::CreateService(const ScHandle& manager, const ServiceConfig& config,
                                         std::uint32_t access, ScHandle& service) const {
    service.Close();
    if (!manager.IsValid() || !manager.state_->service.empty()) {
        return ERROR_INVALID_HANDLE;
    }
    if ((manager.state_->access & SC_MANAGER_CREATE_SERVICE) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    if (config.name.empty() || config.name.find('\\') != std::string::npos) {
        return ERROR_INVALID_NAME;
    }
    RegTransaction transaction(registry_);
    RegKey key;
    Win32Error error = registry_.CreateKey(ServiceKey(config.name), KEY_READ | KEY_WRITE, key);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    if (IsRegistered(key)) {
        return ERROR_SERVICE_EXISTS;
    }
    for (const auto& [name, value] :
         {std::pair{"Type", RegValue::Dword(config.type)},
          std::pair{"Start", RegValue::Dword(config.startType)},
          std::pair{"ErrorControl", RegValue::Dword(config.errorControl)},
          std::pair{"ImagePath", RegValue{REG_EXPAND_SZ, config.imagePath}},
          std::pair{"DisplayName", RegValue::String(config.displayName)}}) {
        if ((error = key.SetValue(name, value)) != ERROR_SUCCESS) {
            return error;
        }
    }
    if ((error = transaction.Commit()) != ERROR_SUCCESS) {
        return error;
    }
    service.state_ = std::make_shared<ScHandle::State>(ScHandle::State{config.name, access});
    return ERROR_SUCCESS;
}

Win32Error ServiceManager::OpenService(const ScHandle& manager, const std::string& name,
                                       std::uint32_t access, ScHandle& service) const {
    service.Close();
    if (!manager.IsValid() || !manager.state_->service.empty()) {
        return ERROR_INVALID_HANDLE;
    }
    RegKey key;
    const Win32Error error = registry_.OpenKey(ServiceKey(name), KEY_READ, key);
    if (error == ERROR_FILE_NOT_FOUND || (error == ERROR_SUCCESS && !IsRegistered(key))) {
        return ERROR_SERVICE_DOES_NOT_EXIST;
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    service.state_ = std::make_shared<ScHandle::State>(ScHandle::State{name, access});
    return ERROR_SUCCESS;
}

Win32Error ServiceManager::StartService(const ScHandle& service) const {
    if (!service.IsValid() || service.state_->service.empty()) {
        return ERROR_INVALID_HANDLE;
    }
    if ((service.state_->access & SERVICE_START) == 0) {
        return ERROR_ACCESS_DENIED;
    }
    const std::string& name = service.state_->service;
    RegKey key;
    Win32Error error = registry_.OpenKey(ServiceKey(name), KEY_READ, key);
    if (error == ERROR_FILE_NOT_FOUND) {
        return ERROR_SERVICE_DOES_NOT_EXIST;
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    RegValue type;
    RegValue start;
    RegValue image;
    if (key.QueryValue("Type", type) != ERROR_SUCCESS ||
        key.QueryValue("ImagePath", image) != ERROR_SUCCESS ||
        (image.type != REG_SZ && image.type != REG_EXPAND_SZ)) {
        return ERROR_BADKEY;
    }
    if (key.QueryValue("Start", start) == ERROR_SUCCESS && start.AsDword() == SERVICE_DISABLED) {
        return ERROR_SERVICE_DISABLED;
    }
    if (type.AsDword() != SERVICE_KERNEL_DRIVER) {
        return ERROR_NOT_SUPPORTED;  // this layer starts driver images only
    }
    if (DeviceAcceptsConnections(name)) {
        return ERROR_SERVICE_ALREADY_RUNNING;
    }
    if (!unit_.empty() && EqualNoCase(name, handedService_)) {
        return StartUnit(name);
    }
    // Where members of the group may write the store, its ImagePath is theirs to change: only an
    // image in the system directory, which is root's alone, is ever run.
    if (administratorIsRoot_ &&
        std::filesystem::path(image.data).lexically_normal().parent_path() !=
            SystemDirectory(root_).lexically_normal()) {
        return ERROR_ACCESS_DENIED;
    }
    return LaunchDaemon(name, image.data);
}

Win32Error ServiceManager::StartUnit(const std::string& name) const {
    std::string program = systemctl_.string();
    std::string verb = "start";
    std::string unit = unit_;
    char* const argv[] = {program.data(), verb.data(), unit.data(), nullptr};
    pid_t child = -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const int spawned = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return ErrorOfExec(spawned);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return ERROR_PROCESS_ABORTED;
    }
    return AwaitDevice(name, 0);
}

bool ServiceManager::DeviceAcceptsConnections(const std::string& name) const {
    const std::string path = DeviceSocketPath(name, root_).string();
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

namespace {

// Starts a daemon the way a double fork does: a middle child starts a new session, starts the
// daemon in it and leaves at once, so the daemon belongs to neither the caller's process tree nor
// its terminal. The middle child is a real fork, with memory of its own: whatever it calls, it
// can touch nothing of the caller's. It makes the daemon with posix_spawn (every signal back to
// its default, the caller's mask, the standard streams and the one inherited descriptor set up by
// the spawn itself) and reports the daemon's process ID, or why it could not be started, through
// a pipe. Every signal is held in the caller's thread across the fork, so no handler of the
// caller's (its self-pipe) ever runs in the middle child. The fork costs the caller a few
// milliseconds of copied page tables; the driver is started on a thread of its own while the
// window is built.
class DaemonLaunch {
public:
    // `in`, `out`: the daemon's standard input and output (and error); `inherited`: the one
    // descriptor the daemon inherits. The caller keeps and closes all three.
    DaemonLaunch(char* const* argv, char* const* envp, int in, int out, int inherited)
        : argv_(argv), envp_(envp), in_(in), out_(out), inherited_(inherited) {}

    Win32Error Run() {
        int report[2];
        if (::pipe2(report, O_CLOEXEC) != 0) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        sigset_t all;
        sigfillset(&all);
        sigset_t callerMask;
        ::pthread_sigmask(SIG_SETMASK, &all, &callerMask);
        const pid_t middle = ::fork();
        if (middle == 0) {
            ::close(report[0]);
            Middle(report[1], callerMask);
        }
        ::pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);
        ::close(report[1]);
        if (middle < 0) {
            ::close(report[0]);
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        int answer[2] = {0, 0};  // the daemon's process ID, the spawn's error
        std::size_t got = 0;
        while (got < sizeof answer) {
            const ssize_t n =
                ::read(report[0], reinterpret_cast<char*>(answer) + got, sizeof answer - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        ::close(report[0]);
        int status = 0;
        while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
        }
        if (got != sizeof answer) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        if (answer[1] != 0) {
            return ErrorOfExec(answer[1]);
        }
        daemon_ = answer[0];
        return daemon_ > 0 ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
    }

    pid_t Daemon() const { return daemon_; }

private:
    [[noreturn]] void Middle(int report, const sigset_t& callerMask) const {
        ::setsid();
        ::umask(022);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigfillset(&defaults);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setsigmask(&attributes, &callerMask);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (in_ >= 0) {
            posix_spawn_file_actions_adddup2(&actions, in_, STDIN_FILENO);
        }
        if (out_ >= 0) {
            posix_spawn_file_actions_adddup2(&actions, out_, STDOUT_FILENO);
            posix_spawn_file_actions_adddup2(&actions, out_, STDERR_FILENO);
        }
        // This process's copy of the descriptor: inherited by the daemon, and only by it.
        ::fcntl(inherited_, F_SETFD, 0);
        pid_t daemon = 0;
        const int error = ::posix_spawn(&daemon, argv_[0], &actions, &attributes, argv_, envp_);
        const int answer[2] = {error == 0 ? daemon : 0, error};
        const ssize_t written = ::write(report, answer, sizeof answer);
        ::_exit(written == static_cast<ssize_t>(sizeof answer) ? 0 : 1);
    }

    char* const* argv_;
    char* const* envp_;
    int in_;
    int out_;
    int inherited_;
    pid_t daemon_ = 0;
};

}  // namespace

Win32Error ServiceManager::LaunchDaemon(const std::string& name, const std::string& image) const {
    if (::access(image.c_str(), F_OK) != 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    // Neither the output log nor the process ID is written through a link planted by others.
    const bool logFolder = MakeOwnFolder(ServiceLogDirectory(root_), 0755);
    const bool runFolder = MakeOwnFolder(ServiceRunDirectory(root_), 0755);
    const std::string logPath =
        logFolder ? (ServiceLogDirectory(root_) / (name + ".log")).string() : "/dev/null";
    const std::string rootText = root_.string();

    // Everything the children need is prepared here: they make system calls and nothing else.
    std::vector<char> imageArg(image.begin(), image.end());
    imageArg.push_back('\0');
    char* const argv[] = {imageArg.data(), nullptr};
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        if (!text.starts_with(std::string(kSystemRootVariable) + "=") &&
            !text.starts_with(std::string(kDriverReadyVariable) + "=")) {
            environment.emplace_back(*entry);
        }
    }
    environment.push_back(std::string(kSystemRootVariable) + "=" + rootText);
    std::vector<char*> envp;
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    environment.push_back(std::string(kDriverReadyVariable) + "=" + std::to_string(ready[1]));
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int out = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (out < 0) {
        out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    }
    DaemonLaunch launch{argv, envp.data(), in, out, ready[1]};
    const Win32Error launched = launch.Run();
    for (const int fd : {in, out, ready[1]}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    if (launched != ERROR_SUCCESS) {
        ::close(ready[0]);
        return launched;
    }
    const pid_t daemon = launch.Daemon();
    if (runFolder) {
        WritePidFile(PidFile(name), daemon);
    }
    const Win32Error result = AwaitDevice(name, daemon, ready[0]);
    ::close(ready[0]);
    return result;
}

Win32Error ServiceManager::AwaitDevice(const std::string& name, int daemon, int readyFd) const {
    std::error_code ec;
    const auto deadline = std::chrono::steady_clock::now() + startTimeout_;
    auto pause = std::chrono::microseconds(500);
    for (;;) {
        if (DeviceAcceptsConnections(name)) {
            return ERROR_SUCCESS;
        }
        if (daemon != 0 && !ProcessAlive(daemon)) {
            std::filesystem::remove(PidFile(name), ec);
            return ERROR_PROCESS_ABORTED;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            if (daemon != 0) {
                ::kill(daemon, SIGTERM);
                std::filesystem::remove(PidFile(name), ec);
            }
            return ERROR_SERVICE_REQUEST_TIMEOUT;
        }
        // The driver's byte (or its end) ends the pause early; a driver that does not write one
        // is waited for by the pauses alone.
        pollfd pfd{readyFd, POLLIN, 0};
        const int waitMs = static_cast<int>((pause.count() + 999) / 1000);
        if (readyFd >= 0 && ::poll(&pfd, 1, waitMs) > 0) {
            char byte = 0;
            if (::read(readyFd, &byte, 1) <= 0) {
                readyFd = -1;  // gone without a word: the checks above tell why
            }
        } else if (readyFd < 0) {
            std::this_thread::sleep_for(pause);
        }
        pause = std::min(pause * 2, std::chrono::microseconds(20000));
    }
}

}  // namespace kestrine::platform
