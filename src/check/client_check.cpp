// The archive clients: each one's enabled archive target and what the service would do with it.
#include "check/client_check.h"

#include <utility>

#include "sync/address_rules.h"
#include "sync/sdk_records.h"

namespace vaultline {

void ReadClientTarget(void* handle, const std::string& archiveAddress, ClientFinding& finding) {
    // The first enabled target whose path could be read, as the service picks it.
    EnabledTarget read = ReadEnabledTarget(handle);
    finding.severalEnabled = read.furtherEnabled > 0;
    if (!read.found) {
        finding.verdict = Verdict::NoEnabledTarget;
        return;
    }
    finding.path = std::move(read.path);

    PathCheck check = CheckTargetPath(finding.path.c_str(), archiveAddress);
    switch (check.action) {
        case PathAction::Correct:
            finding.verdict = Verdict::Correct;
            break;
        case PathAction::Rewrite:
            finding.verdict = Verdict::WouldRewrite;
            finding.newPath = std::move(check.newPath);
            break;
        case PathAction::NoLeadingBackslashes:
        case PathAction::NoBackslashAfterHost:
            finding.verdict = Verdict::BadFormat;
            break;
    }
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
        if (reaches[i] != Reach::DataRead) {
            findings[i].verdict = VerdictFor(reaches[i]);
        }
    }
    return findings;
}

}  // namespace vaultline
