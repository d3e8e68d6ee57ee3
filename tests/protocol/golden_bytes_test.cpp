// Each message type against a frame written out by hand from PROTOCOL.md. The encoder and decoder
// share their field code, so only fixed bytes catch a mistake made the same way on both sides.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/messages.h"

namespace kxprotocol {
namespace {

using Bytes = std::vector<uint8_t>;

// The ASCII bytes of `text`, so the tables below need not spell out every character.
Bytes Chars(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes joined;
    for (const Bytes& part : parts) {
        joined.insert(joined.end(), part.begin(), part.end());
    }
    return joined;
}

struct Golden {
    const char* name;
    Message message;
    Bytes frame;
};

std::vector<Golden> Table() {
    const std::string longPath(300, 'p');
    return {
        {"Login", Login{1, "admin", "secret"},
         Join({{0x00, 0x00, 0x00, 0x16, 0x01, 0x4B, 0x58, 0x41, 0x50, 0x00, 0x01, 0x00, 0x05},
               Chars("admin"),
               {0x00, 0x06},
               Chars("secret")})},
        {"UpdateTarget", UpdateTarget{0x01020304, "\\\\h\\s"},
         Join({{0x00, 0x00, 0x00, 0x0C, 0x02, 0x01, 0x02, 0x03, 0x04, 0x00, 0x05},
               {'\\', '\\', 'h', '\\', 's'}})},
        {"UpdateTargetLongPath", UpdateTarget{0, longPath},
         Join({{0x00, 0x00, 0x01, 0x33, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x2C},
               Chars(longPath)})},
        {"LoginResult",
         LoginResult{kLoginUnsupportedVersion, 0x0102},
         {0x00, 0x00, 0x00, 0x04, 0x81, 0x03, 0x01, 0x02}},
        {"DataBegin",
         DataBegin{0x0102, 0x0304},
         {0x00, 0x00, 0x00, 0x05, 0x82, 0x01, 0x02, 0x03, 0x04}},
        {"Adapter", Adapter{"eth0", "NIC", "00:11:22:33:44:55", "10.0.0.5", true, false},
         Join({{0x00, 0x00, 0x00, 0x2B, 0x83, 0x00, 0x04},
               Chars("eth0"),
               {0x00, 0x03},
               Chars("NIC"),
               {0x00, 0x11},
               Chars("00:11:22:33:44:55"),
               {0x00, 0x08},
               Chars("10.0.0.5"),
               {0x01, 0x00}})},
        {"Target", Target{0x0102, true, "\\\\h\\s"},
         Join({{0x00, 0x00, 0x00, 0x0D, 0x84, 0x00, 0x00, 0x01, 0x02, 0x01, 0x00, 0x05},
               {'\\', '\\', 'h', '\\', 's'}})},
        {"DataEnd", DataEnd{}, {0x00, 0x00, 0x00, 0x01, 0x85}},
        {"UpdateResult",
         UpdateResult{7, UpdateStatus::kUnknownTarget, ""},
         {0x00, 0x00, 0x00, 0x08, 0x86, 0x00, 0x00, 0x00, 0x07, 0x02, 0x00, 0x00}},
        {"CloseRequest", CloseRequest{}, {0x00, 0x00, 0x00, 0x01, 0x87}},
    };
}

TEST(GoldenBytes, EncodesEachMessageAsWrittenInTheProtocol) {
    for (const Golden& golden : Table()) {
        SCOPED_TRACE(golden.name);
        Bytes encoded;
        ASSERT_TRUE(Encode(golden.message, encoded));
        EXPECT_EQ(encoded, golden.frame);
    }
}

TEST(GoldenBytes, DecodesEachHandWrittenFrame) {
    for (const Golden& golden : Table()) {
        SCOPED_TRACE(golden.name);
        const Decoded decoded = DecodeFrame(golden.frame.data(), golden.frame.size());
        ASSERT_EQ(decoded.status, DecodeStatus::kComplete) << decoded.error;
        EXPECT_EQ(decoded.frameSize, golden.frame.size());
        EXPECT_TRUE(decoded.message == golden.message) << MessageName(decoded.message);
    }
}

}  // namespace
}  // namespace kxprotocol
