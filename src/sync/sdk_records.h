// Reading the SDK's records as both programs read them: the adapter report, one adapter with its
// texts, and a client's enabled archive target. Reading only: callers log or report the results.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sdk/kxapi.h"
#include "sync/address_rules.h"

namespace vaultline {

// The number of adapters the target reports; nothing when the SDK gave no report.
std::optional<uint64_t> ReadAdapterCount(void* handle);

// The flags of adapter `index`, from one query; nothing when the query failed.
std::optional<AdapterFlags> ReadAdapterFlags(void* handle, uint64_t index);

// One adapter as the SDK gave it. The texts are as the server sent them, up to their first NUL.
struct AdapterRecord {
    bool queryFailed = false;  // not even its flags could be read
    bool textsFailed = false;  // its flags were read but its texts could not be
    int32_t connected = 0;     // as the query gave them
    int32_t dhcp = 0;
    std::string name;
    std::string description;
    std::string ip;
    std::string mac;
};

// Queries adapter `index` for its flags and text lengths, then again with storage for the texts:
// two calls, or one when the query fails or the lengths are out of bounds (StringFieldBuffer).
AdapterRecord ReadAdapter(void* handle, uint64_t index);

// Targets beyond this many are never read, by the service or by vaultline-check: a list of more
// is not a real client's, and a count from a faulty server or SDK must neither keep the worker
// asking for ever nor fill memory with the failures it reports.
constexpr uint64_t kMaxTargetsRead = 65536;

// One archive target passed over because the SDK failed on it.
struct TargetReadFailure {
    uint64_t index = 0;
    int id = 0;
    bool filling = false;  // false: its query failed; true: its path could not be filled
    // Further enabled targets found before this failure, so that lines about both keep the
    // order in which the targets were read.
    uint64_t furtherEnabledBefore = 0;
};

// What a client's archive targets hold for the service: the first enabled target whose path
// could be filled, how many further enabled ones could be, and every failure on the way.
struct EnabledTarget {
    bool found = false;
    int id = -1;
    // As the SDK filled it, but for the path pointer, which is null: the record to send back
    // with a new path.
    TargetInfo record{};
    std::string path;  // up to its first NUL
    uint64_t furtherEnabled = 0;
    std::vector<TargetReadFailure> failures;  // in the order of the targets' indexes
};

// Reads the client's targets in order, at most kMaxTargetsRead of them: each one's id and a query,
// and for an enabled one a second call with storage for its path.
EnabledTarget ReadEnabledTarget(void* handle);

}  // namespace vaultline
