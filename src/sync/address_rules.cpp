// Which adapter gives the archive target's address, and what becomes of a client's path.
#include "sync/address_rules.h"

#include <algorithm>
#include <cstring>

namespace vaultline {

uint64_t AdaptersToRead(uint64_t reported) {
    return std::min(reported, kMaxAdaptersRead);
}

std::optional<uint64_t> ChooseAdapter(
    uint64_t count, const std::function<std::optional<AdapterFlags>(uint64_t)>& query) {
    std::optional<uint64_t> candidate;
    const uint64_t read = AdaptersToRead(count);
    for (uint64_t index = 0; index < read; ++index) {
        const std::optional<AdapterFlags> adapter = query(index);
        if (!adapter || !adapter->connected) {
            continue;
        }
        if (!candidate || adapter->dhcp) {
            candidate = index;
        }
        if (adapter->dhcp) {
            break;
        }
    }
    return candidate;
}

PathCheck CheckTargetPath(const char* path, const std::string& targetAddress) {
    if (path[0] != '\\' || path[1] != '\\') {
        return {PathAction::NoLeadingBackslashes, {}};
    }
    const char* const host = path + 2;
    // The trailing backslash keeps host 10.0.0.50 from matching address 10.0.0.5.
    const std::string expected = targetAddress + "\\";
    if (std::strncmp(host, expected.c_str(), expected.size()) == 0) {
        return {PathAction::Correct, {}};
    }
    const char* const share = std::strchr(host, '\\');
    if (share == nullptr) {
        return {PathAction::NoBackslashAfterHost, {}};
    }
    return {PathAction::Rewrite, "\\\\" + targetAddress + share};
}

}  // namespace vaultline
