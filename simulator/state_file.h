// The state file: every server's address, port and targets as they are now, replaced atomically.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fleet_config.h"

namespace simulator {

// One server's <Server> element of the state file: its name, address, bound port and targets.
std::string RenderServerState(const ServerConfig& config, uint16_t port);

// Writes the document holding `servers` (rendered elements, in order) to a temporary file beside
// `path` and renames it over `path`, so a reader sees the old or the new state, never a partial
// one. Returns an error text, or empty.
std::string WriteStateFile(const std::string& path, const std::vector<const std::string*>& servers);

}  // namespace simulator
