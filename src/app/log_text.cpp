// Writing texts from servers and the configuration into log lines.
#include "app/log_text.h"

std::string LogText(std::string_view text) {
    constexpr char kHexDigits[] = "0123456789abcdef";
    std::string escaped;
    escaped.reserve(text.size());
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if (byte < 0x20 || byte == 0x7f) {
            escaped += "\\x";
            escaped += kHexDigits[byte >> 4];
            escaped += kHexDigits[byte & 0xf];
        } else {
            escaped += character;
        }
    }
    return escaped;
}
