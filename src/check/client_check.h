// The archive clients: each one's enabled archive target and what the service would do with it.
#pragma once

#include <string>
#include <vector>

#include "check/connection_round.h"
#include "check/findings.h"

namespace vaultline {

// Reads the archive targets of the client behind `handle`, whose data is ready, picks the
// enabled one as the service does, and sets `finding`'s outcome against `archiveAddress`.
// Only reads: nothing is ever sent to the client.
void ReadClientTarget(void* handle, const std::string& archiveAddress, ClientFinding& finding);

// Reaches every client at once and judges each one, in the order of `clients`.
std::vector<ClientFinding> CheckClients(const std::vector<ServerConfig>& clients,
                                        const std::string& archiveAddress,
                                        const RoundLimits& limits, const StopControl& stop);

}  // namespace vaultline
