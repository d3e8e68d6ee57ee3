// The archive clients: each one's enabled archive target and what the service would do with it.
#include "check/client_check.h"

#include <utility>

#include "sync/client_target_decision.h"
#include "sync/sdk_records.h"

namespace vaultline {

void ReadClientTarget(void* handle, const std::string& archiveAddress, ClientFinding& finding) {
    // The first enabled target whose path could be read, as the service picks it.
    EnabledTarget read = ReadEnabledTarget(handle);
    finding.severalEnabled = read.furtherEnabled > 0;
    ClientTargetDecision decision = DecideClientTarget(read, archiveAddress);
    finding.outcome = decision.outcome;
    finding.path = std::move(read.path);
    finding.newPath = std::move(decision.path.newPath);
}

std::vector<ClientFinding> CheckClients(const std::vector<ServerConfig>& clients,
                                        const std::string& archiveAddress,
                                        const RoundLimits& limits, const StopControl& stop) {
    std::vector<ClientFinding> findings(clients.size());
    for (std::size_t i = 0; i < clients.size(); ++i) {
        findings[i].address = clients[i].address;
        findings[i].port = clients[i].port;
    }
    const std::vector<Reach> reaches = ReachServers(
        clients, limits,
        [&](std::size_t index, void* handle) {
            ReadClientTarget(handle, archiveAddress, findings[index]);
        },
        stop);
    for (std::size_t i = 0; i < clients.size(); ++i) {
        RecordReach(reaches[i], findings[i]);
    }
    return findings;
}

}  // namespace vaultline
