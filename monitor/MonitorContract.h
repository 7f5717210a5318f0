#pragma once
// The contract between the application and the monitoring driver: names, control codes, the
// event record and the allow-list buffer. A driver (or a substitute) that honours it serves.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "monitor/DialFacts.h"

namespace kestrine::monitor {

inline constexpr const char* kServiceName = "QDDRIVER";
inline constexpr const char* kDevicePath = R"(\\.\QDDRIVER)";
inline constexpr int kFirstPort = 1;
inline constexpr int kLastPort = 16;

// A control code as the system builds it from device type, access, function and method.
constexpr std::uint32_t CtlCode(std::uint32_t deviceType, std::uint32_t function,
                                std::uint32_t method, std::uint32_t access) {
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}

inline constexpr std::uint32_t kMonitorDeviceType = 0x1001;
inline constexpr std::uint32_t METHOD_BUFFERED = 0;
inline constexpr std::uint32_t FILE_ANY_ACCESS = 0;

inline constexpr std::uint32_t IOCTL_MONITOR_ATTACH_PORT =
    CtlCode(kMonitorDeviceType, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr std::uint32_t IOCTL_MONITOR_DETACH_PORT =
    CtlCode(kMonitorDeviceType, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr std::uint32_t IOCTL_MONITOR_WAIT_EVENT =
    CtlCode(kMonitorDeviceType, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr std::uint32_t IOCTL_MONITOR_READ_EVENT =
    CtlCode(kMonitorDeviceType, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr std::uint32_t IOCTL_MONITOR_SET_ALLOWLIST =
    CtlCode(kMonitorDeviceType, 0x805, METHOD_BUFFERED, FILE_ANY_ACCESS);

using PortId = std::uint32_t;

// The driver's name for COM port n: "\??\COMn" in UTF-16LE with its terminating zero.
std::vector<std::uint8_t> PortNameBuffer(int comPort);
// The inverse, for the driver's side: the COM number of a well-formed port name, if it is one.
std::optional<int> ParsePortNameBuffer(std::span<const std::uint8_t> buffer);

enum EventType : std::uint8_t {
    PortOpened = 0,
    PortRead = 1,
    PortWrite = 2,
    PortClosed = 3,
    PortFlushed = 4,
    BaudRateSet = 5,
    LineControlSet = 6,
    NumberBlocked = 7,
    // One of the driver's own, beside the contract's seven: how many events a port's queue
    // dropped while it was full (payload: a 32-bit count), queued where they were dropped.
    EventsDropped = 8,
};

// Layout of the event record: a 24-byte header, then the payload.
inline constexpr std::size_t kEventHeaderSize = 24;
inline constexpr std::size_t kDataLengthOffset = 16;
inline constexpr std::size_t kEventTypeOffset = 20;
inline constexpr std::size_t kPayloadOffset = 24;
// Byte 21, one of the driver's own: in a NumberBlocked record, kDialFactsFollow says that the
// facts about the program that dialled follow the number's zero byte (DialFacts.h).
inline constexpr std::size_t kRecordFormatOffset = 21;
inline constexpr std::uint8_t kDialFactsFollow = 1;
// Byte 22 and bytes 0-7, the driver's own: a NumberBlocked record handed over late (refused while
// no application was there to read it; kept by the driver meanwhile) has byte 22 set to
// kRefusedEarlier and the refusal's time in bytes 0-7, seconds since 1970, signed little-endian.
inline constexpr std::size_t kRecordOriginOffset = 22;
inline constexpr std::uint8_t kRefusedEarlier = 1;
inline constexpr std::size_t kRefusalTimeOffset = 0;
// The largest record the application accepts; a wait announcing more is treated as a failure
// instead of an allocation of whatever size the driver names.
inline constexpr std::uint32_t kMaxEventRecordSize = 1u << 20;

// One decoded record. Only the fields of its type are filled.
struct MonitorEventView {
    std::uint8_t type = 0;
    std::string data;  // PortRead/PortWrite: the bytes; NumberBlocked: the number
    std::int32_t baudRate = 0;
    std::uint32_t dropped = 0;  // EventsDropped
    std::uint8_t stopBits = 0;
    std::uint8_t parity = 0;
    std::uint8_t wordLength = 0;
    // NumberBlocked: what the driver found out about the program that dialled, when it said.
    std::optional<DialFacts> dialFacts;
    // NumberBlocked handed over late: when the number was refused (seconds since 1970).
    std::optional<std::int64_t> refusedAt;
};

// Decodes a record without reading past its end. A record shorter than the header, or shorter
// than the fixed payload of its type (baud rate, line control), gives nothing. A DataLength
// beyond the bytes present is cut to them; a number without its zero byte ends at the record's
// end. Malformed facts after a number are left out; the number stands.
std::optional<MonitorEventView> DecodeMonitorEvent(std::span<const std::uint8_t> record);

// Builds a record (the driver's side, and tests); the driver's own header bytes stay zero.
std::vector<std::uint8_t> EncodeMonitorEvent(std::uint8_t type,
                                             std::span<const std::uint8_t> payload,
                                             std::uint32_t dataLength);
std::vector<std::uint8_t> EncodeDataEvent(std::uint8_t type, std::string_view data);
std::vector<std::uint8_t> EncodeBaudRateEvent(std::uint32_t baud);
std::vector<std::uint8_t> EncodeLineControlEvent(std::uint8_t stopBits, std::uint8_t parity,
                                                 std::uint8_t wordLength);
std::vector<std::uint8_t> EncodeNumberBlockedEvent(std::string_view number);
// The same record with the facts after the number's zero byte (byte 21 marks them).
std::vector<std::uint8_t> EncodeNumberBlockedEvent(std::string_view number, const DialFacts& facts);
std::vector<std::uint8_t> EncodeSimpleEvent(std::uint8_t type);
// Marks a NumberBlocked record as handed over late, refused at `time` (seconds since 1970).
void MarkRefusedEarlier(std::vector<std::uint8_t>& record, std::int64_t time);
std::vector<std::uint8_t> EncodeEventsDroppedEvent(std::uint32_t count);

// The allow-list buffer: 32-bit little-endian 1, each number's bytes and a zero, a closing zero.
// A number without a dial digit allows nothing and is left out; an empty one could not even be
// carried, since its zero byte would read as the end of the list.
std::vector<std::uint8_t> BuildAllowListBuffer(std::span<const std::string> numbers);
// The inverse, for the driver's side: the numbers, or nothing when the buffer is malformed. An
// empty entry is skipped, so that it cannot cut off the numbers behind it.
std::optional<std::vector<std::string>> ParseAllowListBuffer(std::span<const std::uint8_t> buffer);

void PutU32(std::vector<std::uint8_t>& out, std::size_t offset, std::uint32_t value);
std::uint32_t GetU32(std::span<const std::uint8_t> in, std::size_t offset);

}  // namespace kestrine::monitor
