#include "driver/EventQueue.h"

#include <algorithm>
#include <new>

#include "driver/RefusalJournal.h"
#include "monitor/MonitorContract.h"

namespace kestrine::driver {

using namespace kestrine::monitor;

namespace {
std::uint64_t Journal(std::string_view number, int com) {
    RefusalJournal* journal = RefusalJournal::Current();
    return journal != nullptr ? journal->Refused(number, 0, com) : 0;
}
}  // namespace

EventQueue::~EventQueue() {
    if (RefusalJournal* journal = RefusalJournal::Current()) {
        for (const auto& record : records_) {
            if (record.journal != 0) {
                journal->Unread(record.journal);
            }
        }
    }
}

bool EventQueue::Push(std::vector<std::uint8_t> record) {
    if (records_.size() >= kMaxRecords) {
        ++dropped_;
        return false;
    }
    records_.push_back({std::move(record), false, false, {}, 0});
    return true;
}

void EventQueue::PushData(std::uint8_t type, std::string_view bytes) {
    while (!bytes.empty()) {
        if (!records_.empty()) {
            Record& tail = records_.back();
            const std::size_t held = tail.bytes.size() - kPayloadOffset;
            if (!tail.announced && tail.bytes[kEventTypeOffset] == type && held < kMaxDataPayload) {
                const std::size_t n = std::min(bytes.size(), kMaxDataPayload - held);
                tail.bytes.insert(tail.bytes.end(), bytes.begin(),
                                  bytes.begin() + static_cast<std::ptrdiff_t>(n));
                PutU32(tail.bytes, kDataLengthOffset, static_cast<std::uint32_t>(held + n));
                bytes.remove_prefix(n);
                continue;
            }
        }
        const std::size_t n = std::min(bytes.size(), kMaxDataPayload);
        auto record = EncodeDataEvent(type, bytes.substr(0, n));
        record.reserve(kPayloadOffset + kMaxDataPayload);  // grows in place, never doubles
        if (!Push(std::move(record))) {
            return;  // full: the rest of this burst is dropped with it
        }
        bytes.remove_prefix(n);
    }
}

void EventQueue::PushSimple(std::uint8_t type) {
    Push(EncodeSimpleEvent(type));
}

void EventQueue::PushBaudRate(std::uint32_t baud) {
    Push(EncodeBaudRateEvent(baud));
}

void EventQueue::PushLineControl(std::uint8_t stopBits, std::uint8_t parity,
                                 std::uint8_t wordLength) {
    Push(EncodeLineControlEvent(stopBits, parity, wordLength));
}

void EventQueue::PushNumberBlocked(std::string_view number) {
    const auto sequence = Journal(number, port_);
    records_.push_back({EncodeNumberBlockedEvent(number), false, false, {}, sequence});
    ++blocked_;
}

void EventQueue::PushPendingBlocked(std::string_view number) {
    const auto sequence = Journal(number, port_);
    // The type is there from the start, so the count of refusals stays right when it is popped.
    records_.push_back(
        {EncodeNumberBlockedEvent(number), false, true, std::string(number), sequence});
    ++blocked_;
}

void EventQueue::PushReplayedBlocked(std::string_view number, std::uint64_t sequence,
                                     std::int64_t time) {
    auto record = EncodeNumberBlockedEvent(number);
    MarkRefusedEarlier(record, time);
    records_.push_back({std::move(record), false, false, {}, sequence});
    ++blocked_;
}

void EventQueue::CompleteBlocked(const monitor::DialFacts& facts) {
    for (auto& record : records_) {
        if (record.pending) {
            // Whatever happens, the refusal is not held back: without room for its facts it
            // goes with the number alone, as made when it was queued.
            record.pending = false;
            try {
                record.bytes = EncodeNumberBlockedEvent(record.number, facts);
            } catch (const std::bad_alloc&) {
            }
            std::string().swap(record.number);
        }
    }
}

std::uint32_t EventQueue::AnnounceHead() {
    records_.front().announced = true;
    return static_cast<std::uint32_t>(records_.front().bytes.size());
}

void EventQueue::PopHead() {
    // Room again: the drops are told where they happened, after the events that were kept.
    const bool tellDrops = dropped_ > told_;
    if (records_.front().bytes[kEventTypeOffset] == NumberBlocked) {
        --blocked_;
    }
    if (const auto sequence = records_.front().journal; sequence != 0) {
        if (RefusalJournal* journal = RefusalJournal::Current()) {
            journal->Done(sequence);
        }
    }
    records_.pop_front();
    if (tellDrops && records_.size() < kMaxRecords) {
        const auto count =
            static_cast<std::uint32_t>(std::min<std::size_t>(dropped_ - told_, UINT32_MAX));
        records_.push_back({EncodeEventsDroppedEvent(count), false, false, {}, 0});
        told_ = dropped_;
    }
}

EventQueue::Taken EventQueue::TakeHead() {
    Record& head = records_.front();
    Taken taken{std::move(head.bytes), head.journal};
    if (taken.bytes[kEventTypeOffset] == NumberBlocked) {
        --blocked_;
    }
    records_.pop_front();
    if (dropped_ > told_ && records_.size() < kMaxRecords) {
        const auto count =
            static_cast<std::uint32_t>(std::min<std::size_t>(dropped_ - told_, UINT32_MAX));
        records_.push_back({EncodeEventsDroppedEvent(count), false, false, {}, 0});
        told_ = dropped_;
    }
    return taken;
}

void EventQueue::PushForwarded(const std::vector<std::uint8_t>& record, std::uint64_t journal) {
    const std::uint8_t type = record[kEventTypeOffset];
    if (type == NumberBlocked) {
        records_.push_back({record, false, false, {}, journal});
        ++blocked_;
        return;
    }
    if (type == PortRead || type == PortWrite) {
        const std::size_t length = std::min<std::size_t>(GetU32(record, kDataLengthOffset),
                                                         record.size() - kPayloadOffset);
        PushData(type, {reinterpret_cast<const char*>(record.data()) + kPayloadOffset, length});
        return;
    }
    Push(record);
}

}  // namespace kestrine::driver
