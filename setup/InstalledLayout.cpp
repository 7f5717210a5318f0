#include "setup/InstalledLayout.h"

#include <fcntl.h>
#include <grp.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "setup/Setup.h"

namespace kestrine::setup {

namespace fs = std::filesystem;

namespace {

enum class Kind { Folder, File };

// Gives `path` to `group` with `mode`, through a descriptor opened without following a symbolic
// link, so that a link planted in its place is refused rather than followed. A missing file is
// created when `create` is set and skipped otherwise.
void Share(const fs::path& path, Kind kind, mode_t mode, gid_t group, bool create) {
    if (kind == Kind::Folder && create && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        throw SetupError("cannot create " + path.string() + ": " + std::strerror(errno));
    }
    const int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK |
                      (kind == Kind::Folder ? O_RDONLY | O_DIRECTORY
                                            : O_WRONLY | O_APPEND | (create ? O_CREAT : 0));
    const int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0 && errno == ENOENT && !create) {
        return;
    }
    if (fd < 0) {
        const bool link = errno == ELOOP || errno == ENOTDIR;
        throw SetupError("cannot prepare " + path.string() + ": " +
                         (link ? std::string("a symbolic link or something else lies there")
                               : std::string(std::strerror(errno))));
    }
    struct stat st {};
    std::string problem;
    if (::fstat(fd, &st) != 0 || (kind == Kind::File && !S_ISREG(st.st_mode))) {
        problem = "not a plain file";
    } else if (::fchown(fd, static_cast<uid_t>(-1), group) != 0 || ::fchmod(fd, mode) != 0) {
        problem = std::strerror(errno);
    }
    ::close(fd);
    if (!problem.empty()) {
        throw SetupError("cannot give " + path.string() + " to its group: " + problem);
    }
}

std::string GroupName(gid_t group) {
    const struct group* entry = ::getgrgid(group);
    return entry != nullptr ? entry->gr_name : std::to_string(group);
}

// Names that a rule carries without quoting trouble.
bool PlainName(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) != 0 || std::strchr("._:+@-", c) != nullptr;
    });
}

// Runs a program to its end, quietly; its exit status, or -1 when it could not run.
int Run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    const int spawned = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

void ApplyGroupModel(const fs::path& root, const fs::path& logFile, gid_t group,
                     std::ostream& out) {
    Share(root, Kind::Folder, 03771, group, false);
    for (const char* folder : {"drivers", "device", "dev", "log", "run"}) {
        // Made by root before anyone else can: a member must not own a folder the driver uses.
        const auto path = root / folder;
        if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
            throw SetupError("cannot create " + path.string() + ": " + std::strerror(errno));
        }
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
            throw SetupError(path.string() + " is not a folder of this user's");
        }
        ::chmod(path.c_str(), 0755);  // not the root folder's setgid: nothing there is shared
    }
    for (const char* file : {"registry.db", "registry.db-wal", "registry.db-shm"}) {
        Share(root / file, Kind::File, 0660, group, false);
    }
    Share(logFile.parent_path(), Kind::Folder, 03770, group, true);
    Share(logFile, Kind::File, 0660, group, true);
    out << "Gave the store and the log " << logFile.string() << " to group " << GroupName(group)
        << ".\n";
}

UdevMatch IdentifyDevice(const std::string& port, const std::string& device,
                         const fs::path& byIdDirectory, const fs::path& sysClassTty) {
    UdevMatch match{port, device, {}, {}};
    std::error_code ec;
    const fs::path given(device);
    if (given.parent_path() == byIdDirectory) {
        match.byId = given.filename().string();
        return match;
    }
    const auto real = fs::canonical(given, ec);
    if (ec) {
        return match;
    }
    for (fs::directory_iterator it(byIdDirectory, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code same;
        if (fs::canonical(it->path(), same) == real && !same) {
            match.byId = it->path().filename().string();
            return match;
        }
    }
    if (fs::exists(sysClassTty / real.filename(), ec)) {
        match.kernel = real.filename().string();
    }
    return match;
}

std::string UdevRulesText(const std::vector<UdevMatch>& devices) {
    std::string text =
        "# Written by kestrine-setup --ports: the serial devices the Kestrine driver serves.\n"
        "# While the driver holds a device, only root may open it, and ModemManager leaves it\n"
        "# alone; dialling programs use the published port /var/lib/kestrine/dev/COMn instead.\n"
        "# Rewritten whenever the port map changes; removed when the package is purged.\n";
    for (const auto& device : devices) {
        text += "\n# " + device.port + " = " + device.device + "\n";
        std::string match;
        if (PlainName(device.byId)) {
            match = "SUBSYSTEM==\"tty\", SYMLINK==\"serial/by-id/" + device.byId + "\"";
        } else if (PlainName(device.kernel)) {
            match = "SUBSYSTEM==\"tty\", KERNEL==\"" + device.kernel + "\"";
        }
        if (match.empty()) {
            text += "# no rule: udev does not manage this device (the driver still holds it)\n";
            continue;
        }
        text += match +
                ", OWNER=\"root\", GROUP=\"root\", MODE=\"0600\", "
                "ENV{ID_MM_DEVICE_IGNORE}=\"1\"\n";
    }
    return text;
}

void WriteUdevRules(const driver::PortMap& map, const fs::path& rulesPath, std::ostream& out) {
    std::vector<UdevMatch> devices;
    for (const auto& [com, backend] : map) {
        if (backend.kind == driver::PortBackend::Kind::Device) {
            devices.push_back(IdentifyDevice("COM" + std::to_string(com), backend.device));
        }
    }
    std::error_code ec;
    if (!fs::is_directory(rulesPath.parent_path(), ec)) {
        out << "No udev rules written: " << rulesPath.parent_path().string()
            << " is missing (udev is not installed).\n";
        return;
    }
    if (devices.empty()) {
        if (fs::remove(rulesPath, ec)) {
            out << "Removed the udev rules " << rulesPath.string() << ": no real device served.\n";
            Run({"udevadm", "control", "--reload"});
        }
        return;
    }
    const auto partial = rulesPath.string() + ".new";
    {
        std::ofstream file(partial, std::ios::trunc);
        file << UdevRulesText(devices);
        file.close();
        if (!file) {
            fs::remove(partial, ec);
            throw SetupError("cannot write the udev rules " + rulesPath.string());
        }
    }
    fs::permissions(partial,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                        fs::perms::others_read,
                    ec);
    fs::rename(partial, rulesPath, ec);
    if (ec) {
        fs::remove(partial, ec);
        throw SetupError("cannot write the udev rules " + rulesPath.string() + ": " + ec.message());
    }
    out << "Wrote the udev rules " << rulesPath.string() << ".\n";
    bool applied = Run({"udevadm", "control", "--reload"}) == 0;
    for (const auto& device : devices) {
        std::error_code real;
        const auto name = fs::canonical(device.device, real).filename().string();
        if (!real && (!device.byId.empty() || !device.kernel.empty())) {
            applied = Run({"udevadm", "trigger", "--action=change", "--subsystem-match=tty",
                           "--sysname-match=" + name}) == 0 &&
                      applied;
        }
    }
    if (!applied) {
        out << "udev did not take them now (it may not run here): they apply from the next "
               "start of udev or of the machine.\n";
    }
}

}  // namespace kestrine::setup
