// Writing texts from servers and the configuration into log lines.
#pragma once

#include <string>
#include <string_view>

// `text` with every control byte (0x00 to 0x1F and 0x7F) written as "\xNN" in lower-case hex,
// so a text can never end a log line or forge a journal priority prefix. Every other byte,
// backslashes included, stays as it is.
std::string LogText(std::string_view text);
