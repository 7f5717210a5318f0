#pragma once
// What the kernel reports of a published port's terminal, with the process behind each report:
// every opening (its opener is looked at at once, usually while it still runs), every close, and
// every write. Where it can be heard, a refused line is attributed to the processes that wrote to
// the port while it was written, and a dialler that wrote and ended is still named, from the
// record of its opening (PortHolders.h has the rules).
//
// The reports come from fanotify in the mode that reports objects by handle (the mode that
// reports by descriptor leaves terminals out). Only root may listen so: as a user nothing is
// heard (Available() is false) and the rules that see only the holders apply.
//
// Epochs: the caller counts the moments it found the port's input empty (a read that found
// nothing, or the hang-up after the last close). A report read at epoch e was made before the
// e+1-th such moment. A line whose first byte was read after the L-th moment was written after
// it, so the reports of its writes are read at epoch L or later; a close read before epoch L
// cannot have let it through.
//
// Limits: reports of one process that queue up unread are merged by the kernel (two openings by
// one process read as one; an opening and a close as both). A write is reported just after its
// bytes are in the terminal: the driver may read them first (Window's caller waits a moment for
// the report). A close made by a process other than the opener (one that inherited the
// descriptor) is matched to no record: such records close when the port has no opening left. A
// report older than the line may be read in its window: it adds a candidate, never removes one.
// Reports the kernel could not queue (it says so) leave the writes of the lines begun by then
// unknown: those are judged by the rules without them. A writer is known by its process ID and
// start time, read when its report is read: one that ended and whose ID was taken by a new
// process meanwhile (the IDs of a whole system would have to be used up in between) is mistaken
// for it.
// Looks at openers take at most one part in LookBudget::kShare of the driver's time and come at
// most every kMinLookSpacing; an opening that comes sooner is recorded by its process, its start
// and what it runs alone. The event loop's thread only.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "driver/PortHolders.h"
#include "driver/UniqueFd.h"

namespace kestrine::driver {

class PortReports {
public:
    static constexpr std::size_t kMaxRecords = 64;
    static constexpr std::size_t kMaxWrites = 64;
    static constexpr std::chrono::milliseconds kMinLookSpacing{2};
    // How long a refusal waits for the report of the line's write, which the kernel makes just
    // after the bytes were written.
    static constexpr std::chrono::milliseconds kWriteReportWait{5};

    // Starts listening to the terminal at `path`.
    explicit PortReports(const std::string& path);

    bool Available() const { return fd_.Valid(); }
    int Fd() const { return fd_.Get(); }

    // Reads what the kernel reported, at `epoch`: each opener is looked at now, each close marks
    // the closer's oldest open record closed, each write is noted.
    void Read(std::uint64_t epoch);
    // Whether a write was reported since epoch `lineEpoch`.
    bool WroteSince(std::uint64_t lineEpoch) const;
    // Waits up to `limit` for a report, then reads what came.
    void Await(std::chrono::milliseconds limit, std::uint64_t epoch);
    // Every opening of the port is closed (the caller's count).
    void AllClosed(std::uint64_t epoch);
    // What a line whose first byte was read after epoch `lineEpoch` began may have come
    // through: the records of openings not closed before it, and who wrote since. Whether each
    // still runs is checked now.
    PortWindow Window(std::uint64_t lineEpoch) const;

private:
    struct Entry {
        OpeningRecord record;
        std::optional<std::uint64_t> closedAt;
    };
    struct Write {
        pid_t pid;
        std::uint64_t startTime;
        std::uint64_t epoch;     // of its latest report
        std::string executable;  // as it wrote; empty when unknown
    };
    void Opened(pid_t pid);
    void ClosedBy(pid_t pid, std::uint64_t epoch);
    void Wrote(pid_t pid, std::uint64_t epoch);

    UniqueFd fd_;
    std::deque<Entry> entries_;
    std::deque<Write> writes_;
    std::chrono::steady_clock::time_point nextLook_{};
    std::optional<std::uint64_t> lostAt_;  // the epoch at which the kernel last said reports were lost
};

}  // namespace kestrine::driver
