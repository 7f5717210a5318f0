#pragma once
// One port's queue of event records, bounded.
//
// Policy:
//   - At most kMaxRecords records are queued. Data bytes (PortRead, PortWrite) are appended to the
//     newest record when it has the same type, has not been announced to a wait yet and holds
//     fewer than kMaxDataPayload bytes, so a burst of traffic becomes a few large records.
//   - When the queue is full, a new event other than NumberBlocked is dropped (the oldest events
//     are kept, so the log keeps the start of a burst); drops are counted, and as soon as there
//     is room again one EventsDropped record with their count takes their place in the queue.
//   - NumberBlocked is never dropped: it is queued even beyond kMaxRecords. Once kMaxBlocked of
//     them are waiting, the port stops reading from the dialling program (BlockedIsFull) until the
//     application has read some, which keeps memory bounded without losing one.
//   - A record whose size a wait has announced is frozen until it is read.
//   - Every refused number is written to the process's RefusalJournal when it is queued (before
//     the program hears its answer) and marked done there when it is read; one the queue drops
//     unread (its port went) is left to the journal to hand out again (PushReplayedBlocked).
//   - A port's own queue is its intake: the driver takes every record out of it as soon as it
//     can be announced (TakeHead) and forwards a copy to each subscriber's queue
//     (PushForwarded). A subscriber's queue keeps the same bounds; while one holds kMaxBlocked
//     refusals unread, the driver forwards nothing more to the port's subscribers, so the
//     port's intake fills and the port waits for the slow reader, as above.
//   - A refused number may be queued before the facts about the program that dialled are in
//     (PushPendingBlocked): until CompleteBlocked gives them, it and the records after it are not
//     announced (Empty() is true while it is the oldest).
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "monitor/DialFacts.h"

namespace kestrine::driver {

class EventQueue {
public:
    EventQueue() = default;
    // The port whose refusals this queue journals first (0: not known).
    void SetPort(int com) { port_ = com; }
    // Refusals still queued go back to the journal, to be queued again elsewhere.
    ~EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    static constexpr std::size_t kMaxRecords = 256;
    static constexpr std::size_t kMaxDataPayload = 1024;
    static constexpr std::size_t kMaxBlocked = 256;

    void PushData(std::uint8_t type, std::string_view bytes);
    void PushSimple(std::uint8_t type);
    void PushBaudRate(std::uint32_t baud);
    void PushLineControl(std::uint8_t stopBits, std::uint8_t parity, std::uint8_t wordLength);
    void PushNumberBlocked(std::string_view number);
    void PushPendingBlocked(std::string_view number);
    // A refusal an earlier queue could not hand over, with its journal sequence number and its
    // time (seconds since 1970; 0: unknown): marked as handed over late.
    void PushReplayedBlocked(std::string_view number, std::uint64_t sequence,
                             std::int64_t time = 0);
    // Every pending refused number gets these facts.
    void CompleteBlocked(const monitor::DialFacts& facts);

    // Nothing to announce: no record, or the oldest still waits for its facts.
    bool Empty() const { return records_.empty() || records_.front().pending; }
    std::size_t Size() const { return records_.size(); }
    // The size of the oldest record, which from now on stays as it is until it is popped.
    std::uint32_t AnnounceHead();
    const std::vector<std::uint8_t>& Head() const { return records_.front().bytes; }
    void PopHead();

    // The oldest record, taken out unannounced; a refusal stays open in the journal (the caller
    // decides who reads it).
    struct Taken {
        std::vector<std::uint8_t> bytes;
        std::uint64_t journal = 0;
    };
    Taken TakeHead();
    // A record taken from a port's intake, for a subscriber.
    void PushForwarded(const std::vector<std::uint8_t>& record, std::uint64_t journal);

    bool BlockedIsFull() const { return blocked_ >= kMaxBlocked; }
    std::size_t Dropped() const { return dropped_; }

private:
    struct Record {
        std::vector<std::uint8_t> bytes;
        bool announced = false;
        bool pending = false;
        std::string number;         // pending: the refused number, until its record is made
        std::uint64_t journal = 0;  // a refusal's sequence number in the journal
    };
    bool Push(std::vector<std::uint8_t> record);

    std::deque<Record> records_;
    std::size_t blocked_ = 0;
    int port_ = 0;
    std::size_t dropped_ = 0;
    std::size_t told_ = 0;  // drops an EventsDropped record has been queued for
};

}  // namespace kestrine::driver
