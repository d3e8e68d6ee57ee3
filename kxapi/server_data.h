// The server's data as a handle caches it, and its assembly from the data messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "protocol/messages.h"

namespace kxapi {

// Bytes of text one data set may carry; a server cannot make a handle allocate more.
constexpr std::size_t kMaxDataBytes = 16 * 1024 * 1024;

struct ServerData {
    std::vector<kxprotocol::Adapter> adapters;
    std::vector<kxprotocol::Target> targets;
    // Each target's id and its place in `targets`, so a lookup by id does not walk a list of
    // tens of thousands. Kept in step with `targets` by DataAssembler.
    std::unordered_map<int32_t, std::size_t> targetIndex;

    // Constant time on average; null when no target has the id.
    const kxprotocol::Target* FindTarget(int32_t id) const;
    kxprotocol::Target* FindTarget(int32_t id);
};

// Collects one data set: a DataBegin announcing the counts, exactly that many adapters and
// targets, then DataEnd. Each step returns an empty string when the message fits, otherwise why
// it does not (a protocol error).
class DataAssembler {
public:
    bool InProgress() const { return inProgress_; }
    std::string Begin(const kxprotocol::DataBegin& begin);
    std::string Add(kxprotocol::Adapter adapter);
    std::string Add(kxprotocol::Target target);
    // Moves the completed data set into `completed`.
    std::string Finish(ServerData& completed);
    void Reset();

private:
    std::string Account(std::size_t textBytes);

    bool inProgress_ = false;
    kxprotocol::DataBegin expected_;
    std::size_t textBytes_ = 0;
    ServerData data_;
};

}  // namespace kxapi
