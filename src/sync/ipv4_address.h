// Which address texts are taken as the archive target's address.
#pragma once

#include <string>

namespace vaultline {

// True only for a dotted-quad IPv4 address: four decimal numbers from 0 to 255 and nothing
// else, as inet_pton(AF_INET) accepts them.
bool IsIPv4Address(const std::string& text);

}  // namespace vaultline
