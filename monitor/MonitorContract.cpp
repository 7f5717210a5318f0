#include "monitor/MonitorContract.h"

#include <algorithm>
#include <cstring>

#include "numbers/DialDigits.h"

namespace kestrine::monitor {

void PutU32(std::vector<std::uint8_t>& out, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.at(offset + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t GetU32(std::span<const std::uint8_t> in, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | in[offset + static_cast<std::size_t>(i)];
    }
    return value;
}

std::vector<std::uint8_t> PortNameBuffer(int comPort) {
    const std::string name = R"(\??\COM)" + std::to_string(comPort);
    std::vector<std::uint8_t> buffer;
    buffer.reserve((name.size() + 1) * 2);
    for (const char c : name) {
        buffer.push_back(static_cast<std::uint8_t>(c));
        buffer.push_back(0);
    }
    buffer.push_back(0);
    buffer.push_back(0);
    return buffer;
}

std::optional<int> ParsePortNameBuffer(std::span<const std::uint8_t> buffer) {
    static constexpr std::string_view kPrefix = R"(\??\COM)";
    if (buffer.size() % 2 != 0 || buffer.size() < (kPrefix.size() + 2) * 2) {
        return std::nullopt;
    }
    std::string name;
    for (std::size_t i = 0; i + 1 < buffer.size(); i += 2) {
        if (buffer[i + 1] != 0 || buffer[i] >= 0x80) {
            return std::nullopt;
        }
        name.push_back(static_cast<char>(buffer[i]));
    }
    if (name.back() != '\0') {
        return std::nullopt;
    }
    name.pop_back();
    if (name.compare(0, kPrefix.size(), kPrefix) != 0) {
        return std::nullopt;
    }
    const std::string digits = name.substr(kPrefix.size());
    if (digits.empty() || digits.size() > 3 || digits[0] == '0' ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return std::stoi(digits);
}

std::optional<MonitorEventView> DecodeMonitorEvent(std::span<const std::uint8_t> record) {
    if (record.size() < kEventHeaderSize) {
        return std::nullopt;
    }
    MonitorEventView view;
    view.type = record[kEventTypeOffset];
    const auto payload = record.subspan(kPayloadOffset);
    switch (view.type) {
        case PortRead:
        case PortWrite: {
            const std::size_t length =
                std::min<std::size_t>(GetU32(record, kDataLengthOffset), payload.size());
            view.data.assign(reinterpret_cast<const char*>(payload.data()), length);
            break;
        }
        case BaudRateSet:
            if (payload.size() < 4) {
                return std::nullopt;
            }
            view.baudRate = static_cast<std::int32_t>(GetU32(payload, 0));
            break;
        case EventsDropped:
            if (payload.size() < 4) {
                return std::nullopt;
            }
            view.dropped = GetU32(payload, 0);
            break;
        case LineControlSet:
            if (payload.size() < 3) {
                return std::nullopt;
            }
            view.stopBits = payload[0];
            view.parity = payload[1];
            view.wordLength = payload[2];
            break;
        case NumberBlocked: {
            const auto end = std::find(payload.begin(), payload.end(), std::uint8_t{0});
            view.data.assign(payload.begin(), end);
            if (record[kRecordOriginOffset] == kRefusedEarlier) {
                std::uint64_t time = 0;
                for (std::size_t i = 0; i < 8; ++i) {
                    time |= std::uint64_t{record[kRefusalTimeOffset + i]} << (8 * i);
                }
                view.refusedAt = static_cast<std::int64_t>(time);
            }
            if (record[kRecordFormatOffset] == kDialFactsFollow && end != payload.end()) {
                view.dialFacts = ParseDialFacts(
                    payload.subspan(static_cast<std::size_t>(end - payload.begin()) + 1));
            }
            break;
        }
        default:
            break;
    }
    return view;
}

std::vector<std::uint8_t> EncodeMonitorEvent(std::uint8_t type,
                                             std::span<const std::uint8_t> payload,
                                             std::uint32_t dataLength) {
    std::vector<std::uint8_t> record(kEventHeaderSize + payload.size(), 0);
    PutU32(record, kDataLengthOffset, dataLength);
    record[kEventTypeOffset] = type;
    std::copy(payload.begin(), payload.end(), record.begin() + kPayloadOffset);
    return record;
}

std::vector<std::uint8_t> EncodeDataEvent(std::uint8_t type, std::string_view data) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
    return EncodeMonitorEvent(type, {bytes, data.size()}, static_cast<std::uint32_t>(data.size()));
}

std::vector<std::uint8_t> EncodeBaudRateEvent(std::uint32_t baud) {
    std::vector<std::uint8_t> payload(4);
    PutU32(payload, 0, baud);
    return EncodeMonitorEvent(BaudRateSet, payload, 4);
}

std::vector<std::uint8_t> EncodeEventsDroppedEvent(std::uint32_t count) {
    std::vector<std::uint8_t> payload(4);
    PutU32(payload, 0, count);
    return EncodeMonitorEvent(EventsDropped, payload, 4);
}

std::vector<std::uint8_t> EncodeLineControlEvent(std::uint8_t stopBits, std::uint8_t parity,
                                                 std::uint8_t wordLength) {
    const std::uint8_t payload[3] = {stopBits, parity, wordLength};
    return EncodeMonitorEvent(LineControlSet, payload, 3);
}

void MarkRefusedEarlier(std::vector<std::uint8_t>& record, std::int64_t time) {
    record[kRecordOriginOffset] = kRefusedEarlier;
    const auto bits = static_cast<std::uint64_t>(time);
    for (std::size_t i = 0; i < 8; ++i) {
        record[kRefusalTimeOffset + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
}

std::vector<std::uint8_t> EncodeNumberBlockedEvent(std::string_view number) {
    std::vector<std::uint8_t> payload(number.begin(), number.end());
    payload.push_back(0);
    return EncodeMonitorEvent(NumberBlocked, payload, static_cast<std::uint32_t>(payload.size()));
}

std::vector<std::uint8_t> EncodeNumberBlockedEvent(std::string_view number,
                                                   const DialFacts& facts) {
    std::vector<std::uint8_t> payload(number.begin(), number.end());
    payload.push_back(0);
    AppendDialFacts(payload, facts);
    auto record =
        EncodeMonitorEvent(NumberBlocked, payload, static_cast<std::uint32_t>(payload.size()));
    record[kRecordFormatOffset] = kDialFactsFollow;
    return record;
}

std::vector<std::uint8_t> EncodeSimpleEvent(std::uint8_t type) {
    return EncodeMonitorEvent(type, {}, 0);
}

std::vector<std::uint8_t> BuildAllowListBuffer(std::span<const std::string> numbers) {
    std::size_t size = 5;
    for (const auto& number : numbers) {
        if (numbers::HasDialDigits(number)) {
            size += number.size() + 1;
        }
    }
    std::vector<std::uint8_t> buffer(size, 0);
    PutU32(buffer, 0, 1);
    std::size_t offset = 4;
    for (const auto& number : numbers) {
        if (numbers::HasDialDigits(number)) {
            std::memcpy(buffer.data() + offset, number.data(), number.size());
            offset += number.size() + 1;
        }
    }
    return buffer;
}

std::optional<std::vector<std::string>> ParseAllowListBuffer(std::span<const std::uint8_t> buffer) {
    if (buffer.size() < 5 || GetU32(buffer, 0) != 1 || buffer.back() != 0) {
        return std::nullopt;
    }
    std::vector<std::string> numbers;
    std::size_t offset = 4;
    // Numbers run up to the zero byte that closes the list, which must be the last byte. An empty
    // entry before it (an older sender's empty number) is passed over: read as the list's end, it
    // would lose every number behind it.
    while (offset < buffer.size() - 1) {
        const auto begin = buffer.begin() + static_cast<std::ptrdiff_t>(offset);
        const auto end = std::find(begin, buffer.end() - 1, std::uint8_t{0});
        if (end == buffer.end() - 1) {
            return std::nullopt;
        }
        if (end != begin) {
            numbers.emplace_back(begin, end);
        }
        offset = static_cast<std::size_t>(end - buffer.begin()) + 1;
    }
    return numbers;
}

}  // namespace kestrine::monitor
