#include "driver/EventQueue.h"

#include <algorithm>
#include <new>

#include "monitor/MonitorContract.h"

namespace kestrine::driver {

using namespace kestrine::monitor;

bool EventQueue::Push(std::vector<std::uint8_t> record) {
    if (records_.size() >= kMaxRecords) {
        ++dropped_;
        return false;
    }
    records_.push_back({std::move(record), false, false, {}});
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
    records_.push_back({EncodeNumberBlockedEvent(number), false, false, {}});
    ++blocked_;
}

void EventQueue::PushPendingBlocked(std::string_view number) {
    // The type is there from the start, so the count of refusals stays right when it is popped.
    records_.push_back({EncodeNumberBlockedEvent(number), false, true, std::string(number)});
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
    if (records_.front().bytes[kEventTypeOffset] == NumberBlocked) {
        --blocked_;
    }
    records_.pop_front();
}

}  // namespace kestrine::driver
