// Which adapter gives the archive target's address, and what becomes of a client's path.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vaultline {

// The address an adapter reports when it has none.
constexpr const char* kNoAdapterAddress = "0.0.0.0";

// What the choice needs of one adapter.
struct AdapterFlags {
    bool connected = false;
    bool dhcp = false;
};

// Adapters beyond this many are never read, by the service or by vaultline-check: a report of
// more is not a real machine's, and a count from a faulty server or SDK must neither keep the
// worker asking for ever nor fill the check's memory.
constexpr uint64_t kMaxAdaptersRead = 65536;

// How many of the `reported` adapters both programs read: all of them, up to kMaxAdaptersRead.
uint64_t AdaptersToRead(uint64_t reported);

// The index of the adapter whose address names the target: the first connected adapter with
// DHCP, else the first connected one; nothing when no adapter is connected. Asks `query` about
// adapters 0, 1, ... AdaptersToRead(count) - 1 in order and stops at the first connected one with
// DHCP, so later adapters are never asked about. `query` gives nothing for an adapter it could
// not read, which is then passed over.
std::optional<uint64_t> ChooseAdapter(
    uint64_t count, const std::function<std::optional<AdapterFlags>(uint64_t)>& query);

// What a client's archive-target path needs, given the target's address.
enum class PathAction {
    Correct,               // the host is already the address
    Rewrite,               // the host differs; `newPath` replaces the path
    NoLeadingBackslashes,  // the path does not start with two backslashes
    NoBackslashAfterHost,  // no backslash ends the host
};

struct PathCheck {
    PathAction action = PathAction::Correct;
    std::string newPath;  // set for Rewrite only
};

// Compares the host of `path` ("\\host\share", NUL-terminated) with `targetAddress`, byte for
// byte and case-sensitively. A rewrite replaces only the host; the share part, from the
// backslash that ends the host on, is kept byte for byte.
PathCheck CheckTargetPath(const char* path, const std::string& targetAddress);

}  // namespace vaultline
