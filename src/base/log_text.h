// Writing texts from servers and the configuration into log lines.
#pragma once

#include <string>
#include <string_view>

namespace vaultline {

// `text` with every byte that could drive a terminal or a log reader written as "\xNN" in
// lower-case hex: the C0 controls 0x00 to 0x1F, 0x7F, and the C1 controls 0x80 to 0x9F, whether
// raw (read by 8-bit terminals) or encoded in UTF-8 (C2 80 to C2 9F, and any overlong encoding of
// a control, each escaped byte by byte). Every other byte, backslashes included, stays as it is,
// so letters and symbols in UTF-8 (whose continuation bytes may lie in 0x80 to 0x9F) stay readable.
std::string LogText(std::string_view text);

}  // namespace vaultline
