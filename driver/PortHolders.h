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
// Naming the dialler. A terminal does not record who wrote to it, so the one that wrote the dial
// is named only where no other process can have:
//   - exactly one process holds the port open for writing (a read-only holder cannot write);
//   - every opening of the port that the driver counted (its open and close watch) belongs to a
//     process it looked at (compared with kcmp), so no process it may not inspect, and none that
//     was ending during the look, holds an opening of its own;
//   - no opening of the port was closed (nor any opened) from the time the master was last seen
//     empty before the dial's line until the look ended, so no writer has gone in between.
// Otherwise the facts list the holders and say why the dialler is unknown.
//
// Limits. What the holder runs is read after the dial: a process that wrote and then executed
// another program is named by that program. One that shares its descriptor with another process
// (a child it forked, or one it passed the descriptor to) and ended is not seen: the other is
// named. A command line is what the process shows (a program may rewrite its own); the executable
// is the kernel's. A process in another mount namespace that reaches the port under another name
// is not seen (its opening is then unaccounted for). Looks are bounded in time (kLookTimeLimit)
// and in the share of the driver's time they may take (LookBudget).
#include <sys/types.h>

#include <algorithm>
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
};

// Generous: a look takes a few milliseconds, but a busy machine may leave the driver little of
// its processors, and a look cut short names no one.
inline constexpr std::chrono::milliseconds kLookTimeLimit{250};

// `path` is the terminal's name in this mount namespace (/dev/pts/N).
HolderLook LookForHolders(const TerminalId& terminal, const std::string& path,
                          std::chrono::steady_clock::duration timeLimit = kLookTimeLimit);

// The facts for a refusal: `openingsCounted` is the port's count of openings, `portChanged` that
// an opening was closed or made from before the dial's line until the look ended.
monitor::DialFacts JudgeDialler(HolderLook look, std::size_t openingsCounted, bool portChanged);

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
