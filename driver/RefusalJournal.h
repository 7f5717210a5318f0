#pragma once
// Every refused number is written to a small append-only file in the system root before the
// program that dialled hears its answer, and marked done once the application has read its
// record. Refusals a driver could not hand over (it was killed, or the port was detached with the
// record unread) are read back by the next driver, or by this one, and queued again on the next
// port attached, so that nothing refused goes unlogged.
//
// Rule: a refusal's record reaches the file (one write, appended) before its answer is written to
// the program; the dial blocker queues the refusal (EventQueue::PushPendingBlocked, which writes
// here) before it flushes the answer.
// Limits: the write reaches the kernel, not the disk: a killed driver loses nothing, a power
// failure may. A record read by the application but not yet written to its log when the
// application dies is taken as done. Replayed refusals carry no facts about who dialled.
//
// File: lines "R <sequence> <number in hex>" and "D <sequence>"; made 0600, never through a link.
// The driver's event-loop thread only.
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "driver/UniqueFd.h"

namespace kestrine::driver {

class RefusalJournal {
public:
    // Opens (creating) the journal at `path` and reads what earlier runs left undone; nullptr with
    // `error` set when it cannot be used.
    static std::unique_ptr<RefusalJournal> Open(const std::filesystem::path& path,
                                                std::string& error);

    // A refusal about to be answered: its sequence number (0 when it could not be written).
    std::uint64_t Refused(std::string_view number);
    // Its record was read by the application.
    void Done(std::uint64_t sequence);
    // Its record was dropped unread (the port went): it is handed out again by TakeUndone.
    void Unread(std::uint64_t sequence);

    struct Refusal {
        std::uint64_t sequence;
        std::string number;
    };
    // The refusals no queue holds and no application has read, oldest first; from now on they
    // count as queued again.
    std::vector<Refusal> TakeUndone();

    // The journal the event queues of this process write to; nullptr: none.
    static RefusalJournal* Current() { return current_; }
    static void SetCurrent(RefusalJournal* journal) { current_ = journal; }

private:
    explicit RefusalJournal(UniqueFd fd) : fd_(std::move(fd)) {}
    bool Append(const std::string& line);

    UniqueFd fd_;
    std::uint64_t next_ = 1;
    std::map<std::uint64_t, std::string> open_;  // not done, by sequence
    std::set<std::uint64_t> queued_;             // of those, the ones a live queue holds
    static inline RefusalJournal* current_ = nullptr;
};

}  // namespace kestrine::driver
