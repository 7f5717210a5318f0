#include <gtest/gtest.h>

#include "platform/DeviceProtocol.h"

using namespace kestrine::platform;
using namespace kestrine::platform::protocol;

namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (const int v : values) {
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

}  // namespace

TEST(DeviceProtocol, RequestsAndAnswersSurviveTheirRoundTrip) {
    const Request request{7, 0x1001200C, true, 4, Bytes({1, 2, 3, 4})};
    const auto decoded = DecodeRequest(EncodeRequest(request));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->id, 7u);
    EXPECT_EQ(decoded->code, 0x1001200Cu);
    EXPECT_TRUE(decoded->overlapped);
    EXPECT_EQ(decoded->outputSize, 4u);
    EXPECT_EQ(decoded->input, request.input);

    const Answer answers[] = {
        {FrameKind::Hello, 0, Status::Completed, ERROR_SUCCESS, {}},
        {FrameKind::Reply, 9, Status::Completed, ERROR_SUCCESS, Bytes({9, 8})},
        {FrameKind::Reply, 9, Status::Pending, ERROR_IO_PENDING, {}},
        {FrameKind::Completion, 9, Status::Failed, ERROR_OPERATION_ABORTED, {}},
    };
    for (const auto& answer : answers) {
        const auto back = DecodeAnswer(EncodeAnswer(answer));
        ASSERT_TRUE(back);
        EXPECT_EQ(back->kind, answer.kind);
        EXPECT_EQ(back->id, answer.id);
        EXPECT_EQ(back->status, answer.status);
        EXPECT_EQ(back->error, answer.error);
        EXPECT_EQ(back->output, answer.output);
    }
}

TEST(DeviceProtocol, MalformedFramesAreRefused) {
    const auto good = EncodeRequest({1, 2, false, 0, Bytes({5})});
    struct Case {
        const char* what;
        std::size_t offset;
        std::uint8_t value;
    };
    const Case requestCases[] = {
        {"length field larger than the frame", 0, 22},
        {"length field smaller than the frame", 0, 20},
        {"unknown version", 4, 2},
        {"an answer kind", 5, 3},
        {"unknown flag", 6, 0x02},
        {"reserved byte set", 7, 1},
        {"output size beyond the limit", 19, 0x10},
    };
    for (const auto& c : requestCases) {
        auto frame = good;
        frame[c.offset] = c.value;
        EXPECT_FALSE(DecodeRequest(frame)) << c.what;
    }
    EXPECT_FALSE(DecodeRequest(std::span(good).first(19))) << "shorter than a header";

    const Answer badAnswers[] = {
        {FrameKind::Completion, 1, Status::Pending, ERROR_IO_PENDING, {}},
        {FrameKind::Reply, 1, Status::Pending, ERROR_IO_PENDING, Bytes({1})},
        {FrameKind::Reply, 1, Status::Failed, ERROR_SUCCESS, {}},
        {FrameKind::Reply, 1, Status::Failed, ERROR_ACCESS_DENIED, Bytes({1})},
        {FrameKind::Reply, 1, Status::Completed, ERROR_ACCESS_DENIED, {}},
        {FrameKind::Hello, 1, Status::Completed, ERROR_SUCCESS, {}},
        {FrameKind::Request, 1, Status::Completed, ERROR_SUCCESS, {}},
    };
    for (const auto& answer : badAnswers) {
        EXPECT_FALSE(DecodeAnswer(EncodeAnswer(answer)))
            << "kind " << int(answer.kind) << " status " << int(answer.status);
    }
}

TEST(DeviceProtocol, ReaderCutsAStreamIntoFramesWhateverTheChunks) {
    std::vector<std::uint8_t> stream;
    for (std::uint32_t id = 1; id <= 3; ++id) {
        const auto frame =
            EncodeRequest({id, 5, false, 0, std::vector<std::uint8_t>(id * 10, 0xAB)});
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    for (std::size_t chunk : {1u, 7u, 1000u}) {
        FrameReader reader;
        std::vector<std::uint32_t> ids;
        std::vector<std::uint8_t> frame;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            reader.Append(std::span(stream).subspan(at, std::min(chunk, stream.size() - at)));
            while (reader.Next(frame) == FrameReader::Result::Frame) {
                ids.push_back(DecodeRequest(frame)->id);
            }
        }
        EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 3})) << "chunk " << chunk;
        EXPECT_EQ(reader.Buffered(), 0u);
    }
}

TEST(DeviceProtocol, ReaderRefusesAnAbsurdLengthBeforeBufferingIt) {
    FrameReader reader;
    reader.Append(Bytes({0xFF, 0xFF, 0xFF, 0x7F}));
    std::vector<std::uint8_t> frame;
    EXPECT_EQ(reader.Next(frame), FrameReader::Result::Malformed);
    FrameReader tiny;
    tiny.Append(Bytes({3, 0, 0, 0}));
    EXPECT_EQ(tiny.Next(frame), FrameReader::Result::Malformed);
}
