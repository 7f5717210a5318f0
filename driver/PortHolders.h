#pragma once
// Which processes hold a published port open, looked up in /proc when a dial is refused, and the
// rule by which one of them is named as the one that dialled.
//
// The look. Every process's open descriptors (/proc/PID/fd) are compared with the port's
// terminal (its device and inode). Each process that holds it has its facts read at once, and
// its parents' up to the session leader or PID 1, all through a handle on the process's /proc
// folder: a process that ends meanwhile gives empty ("unknown") facts, never those of a later
// process that got its ID. The newest processes are looked at first, since a program that dialled
// a moment ago and ends as soon as it hears NO CARRIER is likeliest to be caught that way.
// Processes the driver may not inspect are skipped: as root (the installed service) that is none;
// as a user (a private root) it is every other user's process and setuid programs.
//
// Naming the dialler. Where the driver may (as root) it hears from the kernel who opened the
// port, who closed it and who wrote to it (PortReports.h):
//   - The processes reported writing since the line began are the candidates, and only they:
//     the kernel names the writer of every write. One is named; plainly when it holds the port
//     now, opened it itself and still runs the program it ran then, in this mount namespace,
//     "probably" otherwise (it may have run another program since it wrote). Several are "one
//     of".
//   - Where no write was reported in time, the candidates are every holder that may write and
//     every process that opened the port while the line was written (its close was not seen
//     before the line began) and holds it no longer. A holder that holds the port while exactly
//     one candidate descending from it opened the port itself (a shell that started the dialler,
//     an interpreter, pppd) is set aside. One candidate left is named: plainly only when it holds
//     the port now, opened it itself, still runs what it ran then, in this mount namespace, with
//     every opening counted found and nothing opened or closed during the look; "probably"
//     otherwise. Two or more are "one of".
// Without the kernel's reports (as a user), one writer among the holders, every opening counted
// found and no close since the line began name a dialler "probably"; anything else leaves it
// unknown, with the reason.
//
// Limits. A process that wrote the dial and then ran another program is named by that program
// ("probably" where the record of its opening shows another). Without a reported write: a child
// that wrote through its parent's opening and ended is not seen, and a process that received the
// descriptor from another is a candidate only while it holds it. An opener that has ended by the time its record is made is known only by what a
// zombie shows (its kernel name and user), or by its ID alone once reaped. A command line is what
// the process shows (a program may rewrite its own); the executable is the kernel's, but its path
// is as the process's mount namespace sees it (said so when that namespace is not the driver's).
// A process in another mount namespace that reaches the port under another name is not seen
// holding it (its opening is then unaccounted for). Looks are bounded in time (kLookTimeLimit)
// and in the share of the driver's time they may take (LookBudget).
#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "monitor/DialFacts.h"

namespace kestrine::driver {

// A terminal as the kernel knows it (path names may differ between mount namespaces).
struct TerminalId {
    dev_t device = 0;
    ino_t inode = 0;
};
// The terminal at `path`, or nothing when it cannot be seen.
std::optional<TerminalId> IdentifyTerminal(const std::string& path);

struct HolderLook {
    std::vector<monitor::PortHolder> holders;  // newest process first
    // Distinct openings of the terminal among the holders' descriptors; nothing when they could
    // not be told apart.
    std::optional<std::size_t> openings;
    bool complete = true;  // every process was looked at within the time allowed
    std::vector<std::uint64_t> startTimes;  // of each holder; 0 (or none): unknown
};

// Generous: a look takes a few milliseconds, but a busy machine may leave the driver little of
// its processors, and a look cut short names no one.
inline constexpr std::chrono::milliseconds kLookTimeLimit{250};

// `path` is the terminal's name in this mount namespace (/dev/pts/N).
HolderLook LookForHolders(const TerminalId& terminal, const std::string& path,
                          std::chrono::steady_clock::duration timeLimit = kLookTimeLimit);

// A process as seen now: its facts and parents, when it started (clock ticks after boot; with its
// ID, who it is) and whether it has ended (a zombie).
struct SeenProcess {
    monitor::PortHolder holder;  // the process and its parents; otherNamespace set
    std::uint64_t startTime = 0;
    bool ended = false;
};
// Nothing when there is no such process.
std::optional<SeenProcess> LookAtProcess(pid_t pid);
// What process `pid` runs, as the facts show it; empty when it cannot be read.
std::string ExecutableOf(pid_t pid);
// When process `pid` started, and whether it has ended since (a zombie); nothing when there is
// no such process.
std::optional<std::uint64_t> StartTime(pid_t pid, bool* ended = nullptr);
// Whether the process that started at `startTime` with ID `pid` still runs.
bool StillRunning(pid_t pid, std::uint64_t startTime);

// A process that opened the port while a refused line was written.
struct OpeningRecord {
    monitor::PortHolder opener;  // as seen at its opening
    std::uint64_t startTime = 0;
    bool ended = false;  // it no longer runs
};

// A process the kernel reported writing to the port while a refused line was written.
struct WriterId {
    pid_t pid = 0;
    std::uint64_t startTime = 0;  // 0: it had ended when its write was read
    // Its facts as seen when the window was taken, for one that neither holds the port nor
    // has a record of its opening; nothing when it has gone.
    std::optional<monitor::PortHolder> seen;
    bool ended = false;
    std::string executable;  // what it ran as it wrote; empty when unknown
};

// What the kernel reported around a refused line (PortReports.h).
struct PortWindow {
    // The openings not closed before the line began.
    std::vector<OpeningRecord> openings;
    // Who wrote to the port since it began; empty when no write was reported.
    std::vector<WriterId> writers;
};

// The facts for a refusal: `openingsCounted` is the port's count of openings, `portChanged` that
// an opening was closed or made during the look (with `window`) or from before the dial's line
// until the look ended (without). `window`: nullptr where the kernel's reports are not heard.
monitor::DialFacts JudgeDialler(HolderLook look, std::size_t openingsCounted, bool portChanged,
                                const PortWindow* window = nullptr);

// Looks take a few milliseconds of the driver's single loop, during which every port waits: they
// may take at most one part in kShare of its time, and come at most every kMinSpacing, so that a
// program that dials without pause can neither make the driver spend its time looking nor hold
// up more than a few of the ports' replies in a second. Refusals that come sooner are reported as
// not looked for.
class LookBudget {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kShare = 20;
    static constexpr std::chrono::milliseconds kMinSpacing{100};

    bool MayLook(Clock::time_point now) const { return now >= next_; }
    void Spent(Clock::time_point start, Clock::time_point end) {
        next_ = end + std::max<Clock::duration>((end - start) * (kShare - 1), kMinSpacing);
    }

private:
    Clock::time_point next_{};
};

}  // namespace kestrine::driver
