// Fuzzes the device protocol's framing and decoding as both sides meet it: a byte stream cut into
// frames in arbitrary chunks, each frame decoded as a request and as an answer. A decoded frame
// must encode back to the very same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/DeviceProtocol.h"

using namespace kestrine::platform::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t chunk = 1 + data[0] % 64;
    const std::span<const std::uint8_t> stream(data + 1, size - 1);
    FrameReader reader;
    std::vector<std::uint8_t> frame;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        reader.Append(stream.subspan(at, std::min(chunk, stream.size() - at)));
        for (;;) {
            const auto result = reader.Next(frame);
            if (result != FrameReader::Result::Frame) {
                if (result == FrameReader::Result::Malformed) {
                    return 0;
                }
                break;
            }
            if (const auto request = DecodeRequest(frame);
                request && EncodeRequest(*request) != frame) {
                std::abort();
            }
            if (const auto answer = DecodeAnswer(frame); answer && EncodeAnswer(*answer) != frame) {
                std::abort();
            }
        }
    }
    return 0;
}
