#pragma once
// Every refused number is written to a small append-only file in the system root before the
// program that dialled hears its answer, and marked done once the application has read its
// record. Refusals a driver could not hand over (it was killed, or the port was detached with the
// record unread) are read back by the next driver, or by this one, and queued again on the next
// subscription to their own port (or to any port, when theirs is not served or not known), so
// that nothing refused goes unlogged, and the application hears of it on the port it was dialled
// on.
//
// Rule: a refusal's record reaches the file (one write, appended) before its answer is written to
// the program; the dial blocker queues the refusal (EventQueue::PushPendingBlocked, which writes
// here) before it flushes the answer.
// Limits: the write reaches the kernel, not the disk: a killed driver loses nothing, a power
// failure may. A record read by the application but not yet written to its log when the
// application dies is taken as done. Replayed refusals carry no facts about who dialled.
//
// Bound: the newest kMaxKept refusals not yet read are kept; an older one is let go (it is still
// in the service's journal). The file is written anew, through a temporary file renamed into its
// place, whenever its lines outgrow what they describe, so it stays within a few hundred KiB.
//
// File: lines "R <sequence> <number in hex> <time> <COM number>" (time in seconds since 1970; a
// line without it is read as a refusal of unknown time, one without the COM number as one of an
// unknown port) and "D <sequence>"; made 0600, never through a link.
// The driver's event-loop thread only.
#include <cstdint>
#include <filesystem>
#include <functional>
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

    static constexpr std::size_t kMaxKept = 1000;

    // A refusal about to be answered on COM`com` (0: unknown), made at `time` (seconds since
    // 1970; 0: now): its sequence number (0 when it could not be written).
    std::uint64_t Refused(std::string_view number, std::int64_t time = 0, int com = 0);
    // Its record was read by the application.
    void Done(std::uint64_t sequence);
    // Its record was dropped unread (the port went): it is handed out again by TakeUndone.
    void Unread(std::uint64_t sequence);

    struct Refusal {
        std::uint64_t sequence;
        std::string number;
        std::int64_t time = 0;  // seconds since 1970; 0 when unknown
        int com = 0;            // 0 when unknown
    };
    // The refusals of COM`com` no queue holds and no application has read, with those of ports
    // `served` says are not served (or not known), oldest first; from now on they count as queued
    // again.
    std::vector<Refusal> TakeUndone(int com, const std::function<bool(int)>& served);
    // Every refusal no application has read yet, queued or not, oldest first.
    std::vector<Refusal> Unlogged() const;

    // The journal the event queues of this process write to; nullptr: none.
    static RefusalJournal* Current() { return current_; }
    static void SetCurrent(RefusalJournal* journal) { current_ = journal; }

private:
    RefusalJournal(UniqueFd fd, std::filesystem::path path)
        : fd_(std::move(fd)), path_(std::move(path)) {}
    bool Append(const std::string& line);
    // Writes the file anew with the open refusals only; false (the old file stays) on failure.
    bool Rewrite();

    struct Entry {
        std::string number;
        std::int64_t time = 0;
        int com = 0;
    };
    UniqueFd fd_;
    std::filesystem::path path_;
    std::uint64_t next_ = 1;
    std::size_t lines_ = 0;                // in the file
    std::map<std::uint64_t, Entry> open_;  // not done, by sequence
    std::set<std::uint64_t> queued_;       // of those, the ones a live queue holds
    static inline RefusalJournal* current_ = nullptr;
};

}  // namespace kestrine::driver
