// libFuzzer entry: arbitrary bytes through the frame decoder, re-encoding what decodes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "protocol/messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::size_t offset = 0;
    while (offset < size) {
        const kxprotocol::Decoded decoded = kxprotocol::DecodeFrame(data + offset, size - offset);
        if (decoded.status != kxprotocol::DecodeStatus::kComplete) {
            break;
        }
        // A decoded frame re-encodes to exactly the bytes it came from.
        std::vector<uint8_t> encoded;
        if (!kxprotocol::Encode(decoded.message, encoded) ||
            encoded != std::vector<uint8_t>(data + offset, data + offset + decoded.frameSize)) {
            std::abort();
        }
        offset += decoded.frameSize;
    }
    return 0;
}
