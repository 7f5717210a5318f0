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

// How a process hangs in the tree: its parent, and whether it leads its session; with when it
// started (which, with its ID, tells it from a later process with the same ID) and whether it
// has ended (a zombie shows little more than its name and user).
struct Lineage {
    pid_t parent = 0;
    bool sessionLeader = false;
    std::uint64_t startTime = 0;
    bool ended = false;
};

// "pid (comm) state ppid pgrp session ..." into `lineage`, and comm; comm may hold anything,
// ')' too.
std::string ParseStat(const std::string& stat, pid_t pid, Lineage& lineage) {
    lineage = {};
    const auto open = stat.find('(');
    const auto close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return {};
    }
    char state = 0;
    int parent = 0;
    int session = 0;
    unsigned long long start = 0;
    // state ppid pgrp session tty_nr tpgid flags minflt cminflt majflt cmajflt utime stime
    // cutime cstime priority nice num_threads itrealvalue starttime
    if (std::sscanf(stat.c_str() + close + 1,
                    " %c %d %*d %d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
                    &state, &parent, &session, &start) == 4) {
        lineage.parent = parent;
        lineage.sessionLeader = session == pid;
        lineage.startTime = start;
        lineage.ended = state == 'Z' || state == 'X';
    }
    return stat.substr(open + 1, close - open - 1);
}

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
        const std::string name = ParseStat(ReadSmall(dir, "stat"), pid, lineage);
        if (facts.commandLine.empty() && !name.empty()) {
            // An ended process keeps only the kernel's name for it, shown as ps shows it.
            facts.commandLine = monitor::PrintableText("[" + name + "]");
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

namespace {

// The mount namespace of the process whose folder is `dir`; 0 when it cannot be read.
ino_t MountNamespace(int dir) {
    struct stat st {};
    return ::fstatat(dir, "ns/mnt", &st, 0) == 0 ? st.st_ino : 0;
}

// The mount namespace paths are told in: the system's (PID 1's, where the driver may see it: the
// installed service runs in a private one of its own), else the driver's.
ino_t SystemMountNamespace() {
    static const ino_t system = [] {
        struct stat st {};
        if (::stat("/proc/1/ns/mnt", &st) == 0 || ::stat("/proc/self/ns/mnt", &st) == 0) {
            return st.st_ino;
        }
        return ino_t{0};
    }();
    return system;
}

// The facts of the process whose folder is `dir` and of its parents up to the session leader or
// PID 1, each parent read through its own folder. `executable`: read already.
SeenProcess ReadWithParents(int proc, int dir, pid_t pid, FactReader& reader,
                            std::optional<std::string> executable = std::nullopt) {
    SeenProcess seen;
    Lineage lineage;
    seen.holder.process = reader.Read(dir, pid, lineage, std::move(executable));
    seen.startTime = lineage.startTime;
    seen.ended = lineage.ended;
    const ino_t space = MountNamespace(dir);
    seen.holder.otherNamespace =
        space != 0 && SystemMountNamespace() != 0 && space != SystemMountNamespace();
    pid_t parent = lineage.sessionLeader || pid == 1 ? 0 : lineage.parent;
    while (parent > 0 && seen.holder.parents.size() < monitor::kMaxParents) {
        UniqueFd parentDir(::openat(proc, std::to_string(parent).c_str(),
                                    O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!parentDir.Valid()) {
            seen.holder.parents.push_back({static_cast<std::uint32_t>(parent), {}, {}, {}, {}});
            break;
        }
        Lineage up;
        seen.holder.parents.push_back(reader.Read(parentDir.Get(), parent, up));
        parent = up.sessionLeader || parent == 1 ? 0 : up.parent;
    }
    return seen;
}

}  // namespace

namespace {

// The /proc folder of process `pid`, held so that reads through it never reach a later process
// with the same ID; `proc` gets /proc itself. Invalid when there is no such process.
UniqueFd OpenProcess(pid_t pid, UniqueFd& proc) {
    proc.Reset(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return UniqueFd(proc.Valid() ? ::openat(proc.Get(), std::to_string(pid).c_str(),
                                            O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                 : -1);
}

}  // namespace

std::string ExecutableOf(pid_t pid) {
    UniqueFd proc;
    const UniqueFd dir = OpenProcess(pid, proc);
    return dir.Valid() ? FactReader::Executable(dir.Get()) : std::string();
}

std::optional<SeenProcess> LookAtProcess(pid_t pid) {
    UniqueFd proc;
    const UniqueFd dir = OpenProcess(pid, proc);
    if (!dir.Valid()) {
        return std::nullopt;
    }
    // What it runs first: it may be ending.
    std::string executable = FactReader::Executable(dir.Get());
    FactReader reader;
    auto seen = ReadWithParents(proc.Get(), dir.Get(), pid, reader, std::move(executable));
    return seen.startTime != 0 ? std::optional(std::move(seen)) : std::nullopt;
}

std::optional<std::uint64_t> StartTime(pid_t pid, bool* ended) {
    UniqueFd proc;
    const UniqueFd dir = OpenProcess(pid, proc);
    if (!dir.Valid()) {
        return std::nullopt;
    }
    Lineage lineage;
    ParseStat(ReadSmall(dir.Get(), "stat"), pid, lineage);
    if (ended != nullptr) {
        *ended = lineage.ended;
    }
    return lineage.startTime != 0 ? std::optional(lineage.startTime) : std::nullopt;
}

bool StillRunning(pid_t pid, std::uint64_t startTime) {
    bool ended = true;
    return StartTime(pid, &ended) == startTime && !ended;
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
        std::string executable = FactReader::Executable(dir.Get());
        bool writes = false;
        for (const int fd : held) {
            openings.Add({pid, fd});
            writes = writes || OpenForWriting(dir.Get(), fd);
        }
        SeenProcess seen =
            ReadWithParents(proc.Get(), dir.Get(), pid, reader, std::move(executable));
        seen.holder.writes = writes;
        look.holders.push_back(std::move(seen.holder));
        look.startTimes.push_back(seen.startTime);
    }
    look.openings = openings.Count();
    return look;
}

namespace {

bool SameProcess(const monitor::ProcessFacts& a, std::uint64_t aStart,
                 const monitor::ProcessFacts& b, std::uint64_t bStart) {
    return a.pid == b.pid && aStart == bStart;
}

// The verdict of the rules that see only who holds the port now (no record of its openings).
DialFacts JudgeByHolders(HolderLook look, std::size_t openingsCounted, bool portChanged) {
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
        // The one writer may have received its descriptor from one that wrote and ended, or
        // have executed its program after writing: nothing here can tell.
        facts.verdict = DialVerdict::Probably;
        facts.dialler = writers.front();
    }
    facts.holders = std::move(look.holders);
    return facts;
}

}  // namespace

namespace {

// Names the one candidate among `people` (Dialled where `trusted` and it holds the port, opened it
// itself and still runs the program it ran then, in the system's mount namespace; Probably
// otherwise), or lists several (OneOf). `exec`: it runs another program than when it opened the
// port or wrote. Nothing is decided when there is no candidate.
void Decide(DialFacts& facts, std::vector<PortHolder> people, const std::vector<bool>& exec,
            bool trusted) {
    std::vector<std::size_t> candidates;
    for (std::size_t i = 0; i < people.size(); ++i) {
        if (people[i].candidate) {
            candidates.push_back(i);
        }
    }
    if (candidates.size() == 1) {
        const std::size_t one = candidates.front();
        const PortHolder& who = people[one];
        const bool sure = trusted && who.openedItself && !who.ended && !who.closed && !exec[one] &&
                          !who.otherNamespace;
        facts.verdict = sure ? DialVerdict::Dialled : DialVerdict::Probably;
        facts.dialler = one;
        people[one].candidate = false;
    } else if (candidates.size() > 1) {
        facts.verdict = DialVerdict::OneOf;
    }
    facts.holders = std::move(people);
}

// The verdict on the processes the kernel reported writing: `people` are the holders (the
// openedItself and exec marks set), each with its start time.
DialFacts JudgeByWriters(std::vector<PortHolder> people, std::vector<std::uint64_t> starts,
                         std::vector<bool> exec, const PortWindow& window) {
    std::vector<bool> holds(people.size(), true);
    for (auto& person : people) {
        person.candidate = false;
    }
    for (const WriterId& writer : window.writers) {
        const auto pid = static_cast<std::uint32_t>(writer.pid);
        std::size_t at = 0;
        while (at < people.size() &&
               !(people[at].process.pid == pid &&
                 (starts[at] == writer.startTime || (writer.startTime == 0 && !holds[at])))) {
            ++at;
        }
        if (at == people.size()) {
            // Not a holder: from the record of its opening, else as seen, else by its ID.
            const auto record = std::find_if(
                window.openings.begin(), window.openings.end(), [&](const OpeningRecord& r) {
                    return r.opener.process.pid == pid &&
                           (r.startTime == writer.startTime || writer.startTime == 0);
                });
            PortHolder gone;
            if (record != window.openings.end()) {
                gone = record->opener;
                gone.openedItself = true;
                gone.ended = record->ended;
            } else if (writer.seen) {
                gone = *writer.seen;
                gone.ended = writer.ended;
            } else {
                gone.process.pid = pid;
                gone.ended = true;
            }
            gone.closed = !gone.ended;
            gone.writes = true;
            people.push_back(std::move(gone));
            starts.push_back(writer.startTime);
            exec.push_back(false);
            holds.push_back(false);
        }
        people[at].candidate = true;
        if (!writer.executable.empty() && writer.executable != people[at].process.executable) {
            exec[at] = true;  // it runs another program now than when it wrote
        }
    }
    // A writer found among the holders holds the port; one added above has ended or closed it.
    DialFacts facts;
    Decide(facts, std::move(people), exec, true);
    return facts;
}

}  // namespace

DialFacts JudgeDialler(HolderLook look, std::size_t openingsCounted, bool portChanged,
                       const PortWindow* window) {
    if (window == nullptr) {
        return JudgeByHolders(std::move(look), openingsCounted, portChanged);
    }
    const std::vector<OpeningRecord>* records = &window->openings;
    DialFacts facts;
    look.startTimes.resize(look.holders.size(), 0);
    if (!look.complete && window->writers.empty()) {
        facts.verdict = DialVerdict::CutShort;
        facts.holders = std::move(look.holders);
        return facts;
    }
    // Who may have written the line: every holder that may write, and every process that
    // opened the port while the line was written and no longer holds it.
    bool doubt = portChanged;  // an opening made or closed during the look
    std::vector<PortHolder> people = std::move(look.holders);
    std::vector<std::uint64_t> starts = std::move(look.startTimes);
    std::vector<bool> exec(people.size(), false);  // it has run another program since it opened
    for (std::size_t i = 0; i < people.size(); ++i) {
        bool sameProgram = false;
        for (const auto& record : *records) {
            if (SameProcess(record.opener.process, record.startTime, people[i].process, starts[i])) {
                people[i].openedItself = true;
                sameProgram = sameProgram ||
                              record.opener.process.executable == people[i].process.executable;
            }
        }
        exec[i] = people[i].openedItself && !sameProgram;
        people[i].candidate = people[i].writes;
    }
    if (!window->writers.empty()) {
        return JudgeByWriters(std::move(people), std::move(starts), std::move(exec), *window);
    }
    for (const auto& record : *records) {
        const bool holds = std::any_of(people.begin(), people.end(), [&](const PortHolder& p) {
            const auto at = static_cast<std::size_t>(&p - people.data());
            return SameProcess(p.process, starts[at], record.opener.process, record.startTime);
        });
        if (holds) {
            continue;
        }
        PortHolder gone = record.opener;
        gone.writes = true;
        gone.openedItself = true;
        gone.ended = record.ended;
        gone.closed = !record.ended;
        gone.candidate = true;
        people.push_back(std::move(gone));  // a second opening by it is found as held above
        starts.push_back(record.startTime);
        exec.push_back(false);
    }
    // A shell, an interpreter or a parent that holds the port is not the dialler when exactly
    // one of the candidates descends from it and opened the port itself.
    bool setAside = false;
    for (std::size_t c = 0; c < people.size(); ++c) {
        if (!people[c].candidate) {
            continue;
        }
        std::size_t descendants = 0;
        for (std::size_t d = 0; d < people.size(); ++d) {
            if (d == c || !people[d].candidate || !people[d].openedItself) {
                continue;
            }
            const auto& up = people[d].parents;
            if (std::any_of(up.begin(), up.end(), [&](const monitor::ProcessFacts& parent) {
                    return parent.pid == people[c].process.pid;
                })) {
                ++descendants;
            }
        }
        if (descendants == 1) {
            people[c].candidate = false;
            setAside = true;
        }
    }
    const bool accounted = look.openings == openingsCounted;
    const bool anyone = std::any_of(people.begin(), people.end(),
                                    [](const PortHolder& p) { return p.candidate; });
    if (!anyone) {
        facts.verdict = accounted ? DialVerdict::NoWriter : DialVerdict::Unaccounted;
        if (!accounted && look.openings && *look.openings < openingsCounted) {
            facts.unaccountedOpens = static_cast<std::uint32_t>(openingsCounted - *look.openings);
        }
        facts.holders = std::move(people);
        return facts;
    }
    // Sure only with every opening of the port accounted for, nothing opened or closed during the
    // look and no holder set aside.
    Decide(facts, std::move(people), exec, accounted && !doubt && !setAside);
    return facts;
}

}  // namespace kestrine::driver
