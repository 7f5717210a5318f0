#include "platform/DeviceProtocol.h"

#include <cstring>

namespace kestrine::platform::protocol {

namespace {

void Put32(std::vector<std::uint8_t>& out, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        out[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t Get32(std::span<const std::uint8_t> in, std::size_t offset) {
    return static_cast<std::uint32_t>(in[offset]) |
           (static_cast<std::uint32_t>(in[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(in[offset + 2]) << 16) |
           (static_cast<std::uint32_t>(in[offset + 3]) << 24);
}

std::vector<std::uint8_t> Frame(FrameKind kind, std::uint8_t flagsOrStatus, std::uint32_t id,
                                std::uint32_t word12, std::uint32_t word16,
                                std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> frame(kHeaderSize + payload.size(), 0);
    Put32(frame, 0, static_cast<std::uint32_t>(frame.size()));
    frame[4] = kProtocolVersion;
    frame[5] = static_cast<std::uint8_t>(kind);
    frame[6] = flagsOrStatus;
    Put32(frame, 8, id);
    Put32(frame, 12, word12);
    Put32(frame, 16, word16);
    if (!payload.empty()) {
        std::memcpy(frame.data() + kHeaderSize, payload.data(), payload.size());
    }
    return frame;
}

bool HeaderIsSound(std::span<const std::uint8_t> frame) {
    return frame.size() >= kHeaderSize && frame.size() <= kMaxFrameSize &&
           Get32(frame, 0) == frame.size() && frame[4] == kProtocolVersion && frame[7] == 0;
}

}  // namespace

std::vector<std::uint8_t> EncodeRequest(const Request& request) {
    return Frame(FrameKind::Request, request.overlapped ? kFlagOverlapped : 0, request.id,
                 request.code, request.outputSize, request.input);
}

std::vector<std::uint8_t> EncodeAnswer(const Answer& answer) {
    return Frame(answer.kind, static_cast<std::uint8_t>(answer.status), answer.id, answer.error, 0,
                 answer.output);
}

std::optional<Request> DecodeRequest(std::span<const std::uint8_t> frame) {
    if (!HeaderIsSound(frame) || frame[5] != static_cast<std::uint8_t>(FrameKind::Request) ||
        (frame[6] & ~kFlagOverlapped) != 0 || Get32(frame, 16) > kMaxPayload) {
        return std::nullopt;
    }
    Request request;
    request.id = Get32(frame, 8);
    request.code = Get32(frame, 12);
    request.overlapped = (frame[6] & kFlagOverlapped) != 0;
    request.outputSize = Get32(frame, 16);
    request.input.assign(frame.begin() + kHeaderSize, frame.end());
    return request;
}

std::optional<Answer> DecodeAnswer(std::span<const std::uint8_t> frame) {
    if (!HeaderIsSound(frame) || Get32(frame, 16) != 0) {
        return std::nullopt;
    }
    const auto kind = static_cast<FrameKind>(frame[5]);
    const auto status = static_cast<Status>(frame[6]);
    const bool hasPayload = frame.size() > kHeaderSize;
    const auto error = Get32(frame, 12);
    switch (kind) {
        case FrameKind::Hello:
            if (Get32(frame, 8) != 0 || hasPayload) {
                return std::nullopt;
            }
            break;
        case FrameKind::Reply:
        case FrameKind::Completion:
            break;
        default:
            return std::nullopt;
    }
    switch (status) {
        case Status::Completed:
            if (error != ERROR_SUCCESS) {
                return std::nullopt;
            }
            break;
        case Status::Pending:
            if (kind != FrameKind::Reply || hasPayload || error != ERROR_IO_PENDING) {
                return std::nullopt;
            }
            break;
        case Status::Failed:
            if (hasPayload || error == ERROR_SUCCESS || error == ERROR_IO_PENDING) {
                return std::nullopt;
            }
            break;
        default:
            return std::nullopt;
    }
    Answer answer;
    answer.kind = kind;
    answer.id = Get32(frame, 8);
    answer.status = status;
    answer.error = error;
    answer.output.assign(frame.begin() + kHeaderSize, frame.end());
    return answer;
}

void FrameReader::Append(std::span<const std::uint8_t> bytes) {
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

FrameReader::Result FrameReader::Next(std::vector<std::uint8_t>& frame) {
    const std::span<const std::uint8_t> pending(buffer_.data() + start_, buffer_.size() - start_);
    if (pending.size() < 4) {
        return Result::NeedMore;
    }
    const std::uint32_t length = Get32(pending, 0);
    if (length < kHeaderSize || length > kMaxFrameSize) {
        return Result::Malformed;
    }
    if (pending.size() < length) {
        return Result::NeedMore;
    }
    frame.assign(pending.begin(), pending.begin() + length);
    start_ += length;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > kMaxFrameSize) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    return Result::Frame;
}

}  // namespace kestrine::platform::protocol
