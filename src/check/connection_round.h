// Reaching many servers at once through the SDK: open, login and each one's data, in one epoll
// loop, every server within its own time limit.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

#include "check/findings.h"
#include "check/stop_signal.h"
#include "configuration/configuration.h"

namespace vaultline {

struct RoundLimits {
    std::chrono::milliseconds timeout{10'000};  // per server, counted from its open
    std::size_t maxOpen = 1000;                 // connections open at the same time
};

// Called once per server whose data is ready, from inside the SDK's receive call, with the
// server's position in the list and its SDK handle, which may be queried but not closed.
using OnServerData = std::function<void(std::size_t index, void* handle)>;

// Opens and logs in to every server in `servers`, at most `limits.maxOpen` at a time, and hands
// each one's data to `onData` when the server first reports it ready; then closes that
// connection. Sends nothing but the login. Returns how each attempt ended, in the order of
// `servers`. Once `stop.flag` is set, every server not yet done is Interrupted. Stop signals are
// held back for its wait, except during the SDK's open, where they end the process at once
// (StopHandling). Every SDK instance is released before it returns. Calling thread only.
std::vector<Reach> ReachServers(const std::vector<ServerConfig>& servers, const RoundLimits& limits,
                                const OnServerData& onData, const StopControl& stop);

// How many connections this process can hold open at once, after raising its descriptor soft
// limit as far as the hard limit allows. Leaves room for the process's other descriptors.
std::size_t MaxOpenConnections();

}  // namespace vaultline
