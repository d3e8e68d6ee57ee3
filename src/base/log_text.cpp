// Writing texts from servers and the configuration into log lines.
#include "base/log_text.h"

#include <cstdint>
#include <utility>

namespace vaultline {

namespace {

bool IsContinuation(unsigned char byte) {
    return byte >= 0x80 && byte <= 0xbf;
}

// The length of the UTF-8 sequence that starts at `text[at]` and the code point it encodes: its
// lead byte and as many continuation bytes as the lead announces. Length 1 and the byte itself
// when no complete sequence starts there.
std::pair<std::size_t, uint32_t> DecodeAt(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead >= 0xf0 && lead <= 0xf7   ? 4
                               : lead >= 0xe0 && lead <= 0xef ? 3
                               : lead >= 0xc0 && lead <= 0xdf ? 2
                                                              : 1;
    if (length == 1 || text.size() - at < length) {
        return {1, lead};
    }
    uint32_t codePoint = lead & (0x7f >> length);
    for (std::size_t i = at + 1; i < at + length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (!IsContinuation(byte)) {
            return {1, lead};
        }
        codePoint = codePoint << 6 | (byte & 0x3f);
    }
    return {length, codePoint};
}

// A control however it arrives: C0, DEL, or C1 as a raw byte or as a (possibly overlong) UTF-8
// sequence. A multi-byte sequence below U+00A0 is either C1 or an overlong disguise of ASCII.
bool IsControl(std::size_t length, uint32_t value) {
    return length > 1 ? value < 0xa0 : value < 0x20 || (value >= 0x7f && value <= 0x9f);
}

}  // namespace

std::string LogText(std::string_view text) {
    constexpr char kHexDigits[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const auto [length, value] = DecodeAt(text, at);
        const std::string_view piece = text.substr(at, length);
        at += length;
        if (!IsControl(length, value)) {
            escaped += piece;
            continue;
        }
        for (const char character : piece) {
            const auto byte = static_cast<unsigned char>(character);
            escaped += "\\x";
            escaped += kHexDigits[byte >> 4];
            escaped += kHexDigits[byte & 0xf];
        }
    }
    return escaped;
}

}  // namespace vaultline
