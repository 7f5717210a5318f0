#include "driver/PortHolders.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

#include "driver/UniqueFd.h"

namespace kestrine::driver {

using monitor::DialFacts;
using monitor::DialVerdict;
using monitor::PortHolder;
using monitor::ProcessFacts;

namespace {

constexpr std::size_t kMaxFileRead = 4096;  // of a command line, status or fdinfo file

struct CloseDirectory {
    void operator()(DIR* directory) const { ::closedir(directory); }
};
using Directory = std::unique_ptr<DIR, CloseDirectory>;

Directory OpenDirectory(int at, const char* name) {
    const int fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    Directory directory(::fdopendir(fd));
    if (!directory) {
        ::close(fd);
    }
    return directory;
}

// A /proc entry named by a number (a process ID, a descriptor), in its one decimal form.
std::optional<int> ParseNumber(const char* name) {
    if (*name < '0' || *name > '9' || (name[0] == '0' && name[1] != '\0')) {
        return std::nullopt;
    }
    char* end = nullptr;
    const long value = std::strtol(name, &end, 10);
    if (*end != '\0' || value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

// A small /proc file of the process whose folder is `dir`, cut at kMaxFileRead bytes.
std::string ReadSmall(int dir, const std::string& name) {
    UniqueFd fd(::openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) {
        return {};
    }
    std::string text(kMaxFileRead, '\0');
    std::size_t size = 0;
    while (size < text.size()) {
        const auto n = ::read(fd.Get(), text.data() + size, text.size() - size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        size += static_cast<std::size_t>(n);
    }
    text.resize(size);
    return text;
}

std::string ReadLink(int dir, const char* name) {
    char buffer[PATH_MAX];
    const auto n = ::readlinkat(dir, name, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// "chat -v ABORT 'NO CARRIER' '' ATZ OK": the arguments apart by blanks, an argument that is
// empty or holds a blank in quotes.
std::string CommandLine(const std::string& raw) {
    std::string line;
    std::size_t start = 0;
    while (start < raw.size()) {
        auto end = raw.find('\0', start);
        if (end == std::string::npos) {
            end = raw.size();  // a process that rewrote its own may leave no terminator
        }
        const std::string_view arg(raw.data() + start, end - start);
        if (start != 0) {
            line += ' ';
        }
        if (arg.empty() || arg.find(' ') != std::string_view::npos) {
            line += '\'';
            line += arg;
            line += '\'';
        } else {
            line += arg;
        }
        start = end + 1;
    }
    return monitor::PrintableText(line);
}

// How a process hangs in the tree: its parent, and whether it leads its session.
struct Lineage {
    pid_t parent = 0;
    bool sessionLeader = false;
};

class FactReader {
public:
    // The facts of the process whose /proc folder is `dir`; what cannot be read stays empty.
    // `executable`: read already.
    ProcessFacts Read(int dir, pid_t pid, Lineage& lineage,
                      std::optional<std::string> executable = std::nullopt) {
        ProcessFacts facts;
        facts.pid = static_cast<std::uint32_t>(pid);
        facts.executable = executable ? *executable : Executable(dir);
        const std::string status = ReadSmall(dir, "status");
        if (const auto at = status.find("\nUid:"); at != std::string::npos) {
            unsigned long uid = 0;
            if (std::sscanf(status.c_str() + at + 5, "%lu", &uid) == 1) {
                facts.uid = static_cast<std::uint32_t>(uid);
                facts.user = UserName(static_cast<uid_t>(uid));
            }
        }
        facts.commandLine = CommandLine(ReadSmall(dir, "cmdline"));
        // "pid (comm) state ppid pgrp session ...": comm may hold anything, ')' too.
        const std::string stat = ReadSmall(dir, "stat");
        lineage = {};
        if (const auto close = stat.rfind(')'); close != std::string::npos) {
            int parent = 0;
            int session = 0;
            if (std::sscanf(stat.c_str() + close + 1, " %*c %d %*d %d", &parent, &session) == 2) {
                lineage.parent = parent;
                lineage.sessionLeader = session == pid;
            }
        }
        return facts;
    }

    static std::string Executable(int dir) { return monitor::PrintableText(ReadLink(dir, "exe")); }

private:
    std::string UserName(uid_t uid) {
        if (const auto known = names_.find(uid); known != names_.end()) {
            return known->second;
        }
        std::string name;
        passwd entry{};
        passwd* found = nullptr;
        std::vector<char> buffer(4096);
        if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr) {
            name = monitor::PrintableText(found->pw_name, 64);
        }
        return names_[uid] = name;
    }

    std::map<uid_t, std::string> names_;
};

// The descriptors of the process whose folder is `dir` that refer to the terminal. Names are
// compared first (reading a link asks nothing of the file it leads to, which a hung network
// file system could make wait); a match is then checked by device and inode.
std::vector<int> HeldDescriptors(int dir, const TerminalId& terminal, const std::string& path) {
    std::vector<int> held;
    Directory fds = OpenDirectory(dir, "fd");
    if (!fds) {
        return held;  // gone, or not ours to inspect
    }
    const int fdDir = ::dirfd(fds.get());
    while (const dirent* entry = ::readdir(fds.get())) {
        const auto fd = ParseNumber(entry->d_name);
        if (!fd || ReadLink(fdDir, entry->d_name) != path) {
            continue;
        }
        struct stat st {};
        if (::fstatat(fdDir, entry->d_name, &st, 0) == 0 && S_ISCHR(st.st_mode) &&
            st.st_dev == terminal.device && st.st_ino == terminal.inode) {
            held.push_back(*fd);
        }
    }
    return held;
}

bool OpenForWriting(int dir, int fd) {
    const std::string info = ReadSmall(dir, "fdinfo/" + std::to_string(fd));
    const auto at = info.find("flags:");
    if (at == std::string::npos) {
        return true;  // cannot tell: it may write
    }
    const long flags = std::strtol(info.c_str() + at + 6, nullptr, 8);
    return (flags & O_ACCMODE) != O_RDONLY;
}

struct Descriptor {
    pid_t pid;
    int fd;
};

// Counts the distinct openings among descriptors as they are found, each compared (kcmp) with
// one descriptor of every opening seen before while its process is sure to be alive: dup'ed and
// inherited descriptors share an opening.
class OpeningCount {
public:
    void Add(const Descriptor& d) {
        if (!known_) {
            return;
        }
        for (const auto& seen : distinct_) {
            const long same = ::syscall(SYS_kcmp, d.pid, seen.pid, KCMP_FILE, d.fd, seen.fd);
            if (same < 0) {
                known_ = false;  // one of them has gone (or comparing is not allowed)
                return;
            }
            if (same == 0) {
                return;
            }
        }
        distinct_.push_back(d);
    }
    std::optional<std::size_t> Count() const {
        return known_ ? std::optional(distinct_.size()) : std::nullopt;
    }

private:
    std::vector<Descriptor> distinct_;
    bool known_ = true;
};

std::vector<pid_t> NewestFirst() {
    std::vector<pid_t> pids;
    Directory proc(::opendir("/proc"));
    if (!proc) {
        return pids;
    }
    while (const dirent* entry = ::readdir(proc.get())) {
        if (const auto pid = ParseNumber(entry->d_name); pid && *pid > 0) {
            pids.push_back(*pid);
        }
    }
    std::sort(pids.rbegin(), pids.rend());
    return pids;
}

}  // namespace

std::optional<TerminalId> IdentifyTerminal(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
        return std::nullopt;
    }
    return TerminalId{st.st_dev, st.st_ino};
}

HolderLook LookForHolders(const TerminalId& terminal, const std::string& path,
                          std::chrono::steady_clock::duration timeLimit) {
    const auto deadline = std::chrono::steady_clock::now() + timeLimit;
    HolderLook look;
    UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!proc.Valid()) {
        look.complete = false;
        return look;
    }
    const pid_t self = ::getpid();
    FactReader reader;
    OpeningCount openings;
    for (const pid_t pid : NewestFirst()) {
        if (std::chrono::steady_clock::now() > deadline) {
            look.complete = false;
            break;
        }
        if (pid == self) {
            continue;
        }
        // Held for the whole read: should the process end, reads through it fail instead of
        // reaching a later process with the same ID.
        UniqueFd dir(
            ::openat(proc.Get(), std::to_string(pid).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!dir.Valid()) {
            continue;
        }
        const auto held = HeldDescriptors(dir.Get(), terminal, path);
        if (held.empty()) {
            continue;
        }
        // A dialler may end as soon as it has heard NO CARRIER: what it runs first, then what the
        // verdict needs, then the rest.
        const std::string executable = FactReader::Executable(dir.Get());
        PortHolder holder;
        for (const int fd : held) {
            openings.Add({pid, fd});
            holder.writes = holder.writes || OpenForWriting(dir.Get(), fd);
        }
        Lineage lineage;
        holder.process = reader.Read(dir.Get(), pid, lineage, executable);
        // Up to the session leader or PID 1, each parent through its own folder.
        pid_t parent = lineage.sessionLeader || pid == 1 ? 0 : lineage.parent;
        while (parent > 0 && holder.parents.size() < monitor::kMaxParents) {
            UniqueFd parentDir(::openat(proc.Get(), std::to_string(parent).c_str(),
                                        O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!parentDir.Valid()) {
                holder.parents.push_back({static_cast<std::uint32_t>(parent), {}, {}, {}, {}});
                break;
            }
            Lineage up;
            holder.parents.push_back(reader.Read(parentDir.Get(), parent, up));
            parent = up.sessionLeader || parent == 1 ? 0 : up.parent;
        }
        look.holders.push_back(std::move(holder));
    }
    look.openings = openings.Count();
    return look;
}

DialFacts JudgeDialler(HolderLook look, std::size_t openingsCounted, bool portChanged) {
    DialFacts facts;
    std::vector<std::size_t> writers;
    for (std::size_t i = 0; i < look.holders.size(); ++i) {
        if (look.holders[i].writes) {
            writers.push_back(i);
        }
    }
    if (portChanged) {
        facts.verdict = DialVerdict::PortClosed;
    } else if (!look.complete) {
        facts.verdict = DialVerdict::CutShort;
    } else if (look.openings != openingsCounted) {
        facts.verdict = DialVerdict::Unaccounted;
        if (look.openings && *look.openings < openingsCounted) {
            facts.unaccountedOpens = static_cast<std::uint32_t>(openingsCounted - *look.openings);
        }
    } else if (writers.empty()) {
        facts.verdict = DialVerdict::NoWriter;
    } else if (writers.size() > 1) {
        facts.verdict = DialVerdict::SeveralWriters;
    } else {
        facts.verdict = DialVerdict::Dialled;
        facts.dialler = writers.front();
    }
    facts.holders = std::move(look.holders);
    return facts;
}

}  // namespace kestrine::driver
