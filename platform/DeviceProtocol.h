#pragma once
// The wire format between the device client (SocketDevice) and the monitoring driver (qddriver).
//
// Every frame starts with a fixed 20-byte little-endian header, then a payload:
//
//   0  u32  frame length in bytes, header included
//   4  u8   protocol version (kProtocolVersion)
//   5  u8   kind: Hello, Request, Reply or Completion
//   6  u8   Request: flags (kFlagOverlapped); Hello/Reply/Completion: status
//   7  u8   reserved, zero
//   8  u32  request id (Hello: zero)
//   12 u32  Request: control code; Hello/Reply/Completion: Win32 error code
//   16 u32  Request: size of the caller's output buffer; otherwise zero
//   20 ...  Request: input bytes; Reply/Completion with status Completed: output bytes
//
// The driver greets every connection with one Hello (Completed, or Failed with the reason, e.g.
// ERROR_ACCESS_DENIED). Each Request gets exactly one Reply: Completed, Failed, or - for
// overlapped requests only - Pending, in which case exactly one Completion with the same id
// follows later. A synchronous request is never answered Pending; its Reply waits until the
// request is done. Output never exceeds the size the request announced.
//
// Frames that break any rule above are malformed; a peer that sends one is cut off.
//
// Completed READ_EVENT output is one event record (monitor/MonitorContract.h). Our driver adds
// one thing to it that the driver contract leaves free: a NumberBlocked record may carry, after
// the number's zero byte, the facts about the program that dialled (monitor/DialFacts.h). Byte
// 21 of the record (one of the driver's own) is then 1; DataLength and the announced size cover
// the whole payload. An application that takes the number up to its first zero byte, as the
// contract says, reads exactly the number and nothing else; no new record type or request is
// used, so such an application works unchanged. The facts, little-endian:
//
//   u8   verdict: 1 dialled (the first holder wrote the dial), 2 not looked for, 3 the port was
//        closed or opened as the dial came, 4 look cut short, 5 openings not accounted for,
//        6 no holder open for writing, 7 several holders open for writing
//   u8   0
//   u32  verdict 5: openings of the port found in no process the driver may inspect
//   u8   holders (at most 8), then for each: a process; u8 1 when it holds the port open for
//        writing, else 0; u8 parents (at most 8), then each parent, nearest first, as a process
//   process: u32 process ID; u8 1 when the user ID is known, else 0; u32 real user ID; then three
//        texts, each printable ASCII of at most 256 bytes ended by a zero byte, empty when
//        unknown: user name, executable path, command line
//
// The facts fill the rest of the record exactly and are at most 8192 bytes; facts that break any
// of this are ignored (the number stands).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/Win32Error.h"

namespace kestrine::platform::protocol {

inline constexpr std::uint8_t kProtocolVersion = 1;
inline constexpr std::size_t kHeaderSize = 20;
// Large enough for an allow list of thousands of numbers and for the largest event record.
inline constexpr std::size_t kMaxPayload = std::size_t{1} << 20;
inline constexpr std::size_t kMaxFrameSize = kHeaderSize + kMaxPayload;

enum class FrameKind : std::uint8_t { Hello = 1, Request = 2, Reply = 3, Completion = 4 };
enum class Status : std::uint8_t { Completed = 0, Pending = 1, Failed = 2 };
inline constexpr std::uint8_t kFlagOverlapped = 0x01;

struct Request {
    std::uint32_t id = 0;
    std::uint32_t code = 0;
    bool overlapped = false;
    std::uint32_t outputSize = 0;
    std::vector<std::uint8_t> input;
};

// A Hello, Reply or Completion.
struct Answer {
    FrameKind kind = FrameKind::Reply;
    std::uint32_t id = 0;
    Status status = Status::Completed;
    Win32Error error = ERROR_SUCCESS;
    std::vector<std::uint8_t> output;
};

std::vector<std::uint8_t> EncodeRequest(const Request& request);
std::vector<std::uint8_t> EncodeAnswer(const Answer& answer);

// Decoding of one whole frame (as cut by FrameReader); nothing when it is malformed.
std::optional<Request> DecodeRequest(std::span<const std::uint8_t> frame);
std::optional<Answer> DecodeAnswer(std::span<const std::uint8_t> frame);

// Cuts a byte stream into frames. The length field is checked before anything is buffered, so a
// peer cannot make the reader hold more than one frame of kMaxFrameSize.
class FrameReader {
public:
    enum class Result { Frame, NeedMore, Malformed };

    void Append(std::span<const std::uint8_t> bytes);
    // Result::Frame puts the next whole frame into `frame`.
    Result Next(std::vector<std::uint8_t>& frame);
    std::size_t Buffered() const { return buffer_.size() - start_; }

private:
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;
};

}  // namespace kestrine::platform::protocol
