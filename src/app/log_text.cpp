// Writing texts from servers and the configuration into log lines.
#include "app/log_text.h"

namespace {

bool IsC1(unsigned char byte) {
    return byte >= 0x80 && byte <= 0x9f;
}

bool IsContinuation(unsigned char byte) {
    return byte >= 0x80 && byte <= 0xbf;
}

// The length of the UTF-8 sequence that starts at `text[at]`: its lead byte and as many
// continuation bytes as the lead announces. 1 when no complete sequence starts there.
std::size_t SequenceLength(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead >= 0xf0 && lead <= 0xf7   ? 4
                               : lead >= 0xe0 && lead <= 0xef ? 3
                               : lead >= 0xc0 && lead <= 0xdf ? 2
                                                              : 1;
    if (length == 1 || text.size() - at < length) {
        return 1;
    }
    for (std::size_t i = at + 1; i < at + length; ++i) {
        if (!IsContinuation(static_cast<unsigned char>(text[i]))) {
            return 1;
        }
    }
    return length;
}

}  // namespace

std::string LogText(std::string_view text) {
    constexpr char kHexDigits[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const std::string_view piece = text.substr(at, SequenceLength(text, at));
        at += piece.size();
        bool control = false;
        for (const char character : piece) {
            const auto byte = static_cast<unsigned char>(character);
            control = control || byte < 0x20 || byte == 0x7f || IsC1(byte);
        }
        if (!control) {
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
