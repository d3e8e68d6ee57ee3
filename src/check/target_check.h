// The archive target: its adapters, and the address the service would choose from them.
#pragma once

#include "check/connection_round.h"
#include "check/findings.h"

namespace vaultline {

// Reads the adapter report of the target behind `handle`, whose data is ready, into `finding`,
// and chooses its address with the service's own rule. Sets `finding.problem` when the service
// would find no address it could use.
void ReadTargetAdapters(void* handle, TargetFinding& finding);

// Reaches the target, reads its adapters and chooses its address.
TargetFinding CheckTarget(const ServerConfig& target, const RoundLimits& limits,
                          const StopControl& stop);

}  // namespace vaultline
