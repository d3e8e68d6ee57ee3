// Filling the caller's records from cached data, and reading an update record, under the
// two-call text convention.
#pragma once

#include <cstdint>
#include <string>

#include "sdk/kxapi.h"
#include "server_data.h"

namespace kxapi {

// Each returns a ResultCode. Sizes and indexes are checked, and every text's buffer is checked
// against its text, before anything is written, so a refused call leaves the record untouched.
// The reserved bytes are never written.
int FillNetworkInfo(const ServerData& data, NetworkInfo* info);
int FillNetworkAdapter(const ServerData& data, uint64_t index, NetworkAdapter* adapter);
int FillTargetInfo(const ServerData& data, int32_t id, TargetInfo* info);

// The path an update record carries: up to its NUL, never beyond pathLength bytes.
int ReadUpdatePath(const TargetInfo* info, std::string& path);

}  // namespace kxapi
