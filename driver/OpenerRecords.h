#pragma once
// A record of every opening of a published port: who opened it, seen when the kernel reports the
// opening (within a moment of the open() call, usually while the opener still runs), kept until
// that process's close of the port is seen. A dial whose writer has ended before the driver read
// the dial's line is named from it (PortHolders.h has the rule).
//
// The kernel reports each opening and close of the port's terminal with the process that made it
// (fanotify, in the mode that reports objects by handle: the mode that reports by descriptor
// leaves terminals out). Only root may listen so: as a user the records are not kept
// (Available() is false) and the rules that see only the holders apply.
//
// Epochs: the caller counts the times it found the port's input empty; a close read at epoch e
// happened before the e+1-th such moment, so it cannot have let through a line whose bytes were
// first read after that moment.
//
// Limits: reports of one process that queue up unread are merged by the kernel (two openings by
// one process read as one; an opening and a close as both). A close made by a process other than
// the opener (one that inherited the descriptor) is matched to no record: such records close when
// the port has no opening left. Looks at openers are bounded (kMinLookSpacing); an opening that
// comes sooner is recorded by its process ID alone. The event loop's thread only.
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

class OpenerRecords {
public:
    static constexpr std::size_t kMaxRecords = 64;
    static constexpr std::chrono::milliseconds kMinLookSpacing{2};

    // Starts listening for the openings of the terminal at `path`.
    explicit OpenerRecords(const std::string& path);

    bool Available() const { return fd_.Valid(); }
    int Fd() const { return fd_.Get(); }

    // Reads what the kernel reported: each opener is looked at now, each close marks the
    // closer's oldest open record closed at `epoch`.
    void Read(std::uint64_t epoch);
    // Every opening of the port is closed (the caller's count).
    void AllClosed(std::uint64_t epoch);
    // The records of openings a line first read after epoch `lineEpoch` began may have come
    // through: those not closed before it. Whether each opener still runs is checked now.
    std::vector<OpeningRecord> Window(std::uint64_t lineEpoch) const;

private:
    struct Entry {
        OpeningRecord record;
        std::optional<std::uint64_t> closedAt;
    };
    void Opened(pid_t pid);
    void ClosedBy(pid_t pid, std::uint64_t epoch);

    UniqueFd fd_;
    std::deque<Entry> entries_;
    std::chrono::steady_clock::time_point nextLook_{};
};

}  // namespace kestrine::driver
