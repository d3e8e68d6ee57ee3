// The wire protocol's encoder and decoder on their own: round trips, truncation, strictness.
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/byte_codec.h"
#include "protocol/messages.h"

namespace kxprotocol {
namespace {

std::vector<Message> OneOfEach() {
    return {
        Login{kVersion, "admin", "secret"},
        UpdateTarget{7, "\\\\10.0.0.5\\archive"},
        LoginResult{kLoginBadCredentials, kVersion},
        DataBegin{2, 3},
        Adapter{"eth0", "Onboard NIC", "00:11:22:33:44:55", "10.0.0.5", true, false},
        Target{0, true, "\\\\host\\share with spaces"},
        DataEnd{},
        UpdateResult{12, UpdateStatus::kRejected, "\\\\old\\path"},
        CloseRequest{},
    };
}

std::vector<uint8_t> EncodeOrDie(const Message& message) {
    std::vector<uint8_t> frame;
    EXPECT_TRUE(Encode(message, frame)) << MessageName(message);
    return frame;
}

// A frame around a hand-written body.
std::vector<uint8_t> FrameAround(const std::vector<uint8_t>& body) {
    std::vector<uint8_t> frame;
    ByteWriter(frame).U32(static_cast<uint32_t>(body.size()));
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

Decoded Decode(const std::vector<uint8_t>& bytes) {
    return DecodeFrame(bytes.data(), bytes.size());
}

TEST(ProtocolTest, EveryMessageSurvivesARoundTrip) {
    for (const Message& message : OneOfEach()) {
        const std::vector<uint8_t> frame = EncodeOrDie(message);
        const Decoded decoded = Decode(frame);
        ASSERT_EQ(decoded.status, DecodeStatus::kComplete) << MessageName(message) << decoded.error;
        EXPECT_EQ(decoded.frameSize, frame.size()) << MessageName(message);
        EXPECT_TRUE(decoded.message == message) << MessageName(message);
    }
}

TEST(ProtocolTest, EveryTruncationOfAValidFrameWaitsForMore) {
    for (const Message& message : OneOfEach()) {
        const std::vector<uint8_t> frame = EncodeOrDie(message);
        for (std::size_t length = 0; length < frame.size(); ++length) {
            EXPECT_EQ(DecodeFrame(frame.data(), length).status, DecodeStatus::kNeedMore)
                << MessageName(message) << " cut to " << length << " bytes";
        }
    }
}

TEST(ProtocolTest, EveryBodyCutShortUnderItsOwnLengthIsMalformed) {
    for (const Message& message : OneOfEach()) {
        const std::vector<uint8_t> frame = EncodeOrDie(message);
        const std::vector<uint8_t> body(frame.begin() + kHeaderSize, frame.end());
        for (std::size_t length = 1; length < body.size(); ++length) {
            const Decoded decoded = Decode(FrameAround({body.begin(), body.begin() + length}));
            EXPECT_EQ(decoded.status, DecodeStatus::kMalformed)
                << MessageName(message) << " body cut to " << length << " bytes";
        }
    }
}

TEST(ProtocolTest, TrailingBytesAfterAMessageAreMalformed) {
    for (const Message& message : OneOfEach()) {
        const std::vector<uint8_t> frame = EncodeOrDie(message);
        std::vector<uint8_t> body(frame.begin() + kHeaderSize, frame.end());
        body.push_back(0);
        EXPECT_EQ(Decode(FrameAround(body)).status, DecodeStatus::kMalformed)
            << MessageName(message);
    }
}

TEST(ProtocolTest, LengthOutsideTheBoundIsMalformedFromTheHeaderAlone) {
    for (const uint32_t length : {uint32_t{0}, uint32_t(kMaxBodySize + 1), uint32_t{0xFFFFFFFF}}) {
        std::vector<uint8_t> header;
        ByteWriter(header).U32(length);
        const Decoded decoded = Decode(header);
        EXPECT_EQ(decoded.status, DecodeStatus::kMalformed) << length;
        EXPECT_FALSE(decoded.error.empty());
    }
}

TEST(ProtocolTest, EncodingRefusesWhatTheDecoderWouldRefuse) {
    std::vector<uint8_t> out{1, 2, 3};
    EXPECT_FALSE(Encode(UpdateTarget{1, std::string(70000, 'x')}, out));  // text over 16 bits
    EXPECT_FALSE(Encode(UpdateTarget{1, std::string(65530, 'x')}, out));  // frame over 64 KiB
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3}));

    EXPECT_TRUE(Encode(UpdateTarget{1, std::string(kMaxBodySize - 7, 'x')}, out));
    EXPECT_EQ(out.size(), 3 + kMaxFrameSize);
}

// Hand-written bodies that break one rule each.
TEST(ProtocolTest, BodiesBreakingAFieldRuleAreMalformed) {
    struct Case {
        const char* name;
        std::vector<uint8_t> body;
    };
    auto body = [](auto write) {
        std::vector<uint8_t> bytes;
        ByteWriter writer(bytes);
        write(writer);
        return bytes;
    };
    const std::vector<Case> cases = {
        {"unknown type", {0x42}},
        {"boolean of 2", body([](ByteWriter& w) {
             w.U8(0x84);
             w.I32(1);
             w.U8(2);
             w.String("p");
         })},
        {"negative target id", body([](ByteWriter& w) {
             w.U8(0x84);
             w.I32(-1);
             w.Bool(true);
             w.String("p");
         })},
        {"text length beyond the frame", body([](ByteWriter& w) {
             w.U8(0x02);
             w.I32(1);
             w.U16(500);
             w.U8('x');
         })},
        {"text with a NUL", body([](ByteWriter& w) {
             w.U8(0x02);
             w.I32(1);
             w.String(std::string("a\0b", 3));
         })},
        {"login without the magic number", body([](ByteWriter& w) {
             w.U8(0x01);
             w.U32(0x12345678);
             w.U16(kVersion);
             w.String("u");
             w.String("p");
         })},
        {"unknown update status", body([](ByteWriter& w) {
             w.U8(0x86);
             w.I32(1);
             w.U8(9);
             w.String("p");
         })},
    };
    for (const Case& testCase : cases) {
        const Decoded decoded = Decode(FrameAround(testCase.body));
        EXPECT_EQ(decoded.status, DecodeStatus::kMalformed) << testCase.name;
        EXPECT_FALSE(decoded.error.empty()) << testCase.name;
    }
}

// Random bytes never crash the decoder, and whatever decodes re-encodes to the same bytes.
TEST(ProtocolTest, GarbageNeverCrashesTheDecoder) {
    const uint32_t seed = 20240611;
    std::printf("garbage seed %u\n", seed);
    std::mt19937 random(seed);
    const std::vector<uint8_t> types = {0x01, 0x02, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x00};
    for (int round = 0; round < 20000; ++round) {
        std::vector<uint8_t> body(1 + random() % 40);
        for (uint8_t& byte : body) {
            byte = static_cast<uint8_t>(random() % 4 == 0 ? random() % 3 : random());
        }
        body[0] = types[random() % types.size()];
        std::vector<uint8_t> bytes = FrameAround(body);
        bytes.resize(random() % (bytes.size() + 1));
        const Decoded decoded = Decode(bytes);
        if (decoded.status == DecodeStatus::kComplete) {
            std::vector<uint8_t> encoded;
            ASSERT_TRUE(Encode(decoded.message, encoded));
            ASSERT_EQ(encoded,
                      std::vector<uint8_t>(bytes.begin(), bytes.begin() + decoded.frameSize))
                << "round " << round;
        }
    }
}

}  // namespace
}  // namespace kxprotocol
