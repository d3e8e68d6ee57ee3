// The state file: every server's address, port and targets as they are now, replaced atomically.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fleet_config.h"

namespace simulator {

struct ServerState {
    const ServerConfig* config;  // name, address and current targets
    uint16_t port;               // the port actually bound
};

// Writes the state to a temporary file beside `path` and renames it over `path`, so a reader
// sees the old or the new state, never a partial one. Returns an error text, or empty.
std::string WriteStateFile(const std::string& path, const std::vector<ServerState>& servers);

}  // namespace simulator
