// Which address texts are taken as the archive target's address.
#include "sync/ipv4_address.h"

#include <arpa/inet.h>

namespace vaultline {

bool IsIPv4Address(const std::string& text) {
    in_addr parsed{};
    // A NUL inside would hide whatever follows it from inet_pton.
    return text.find('\0') == std::string::npos && inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

}  // namespace vaultline
