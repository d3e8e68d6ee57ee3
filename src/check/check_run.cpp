// One run of vaultline-check: configuration, target, clients, report.
#include "check/check_run.h"

#include <chrono>
#include <vector>

#include "check/client_check.h"
#include "check/report.h"
#include "check/target_check.h"
#include "configuration/configuration.h"

namespace vaultline {

int RunCheck(const CheckOptions& options, const StopControl& stop, std::ostream& out) {
    std::vector<ServerConfig> servers;
    const bool read =
        ReadConfiguration(options.configuration.c_str(), [&](const ServerConfig& server) {
            servers.push_back(server);
            return true;
        });
    if (!read) {
        return 1;
    }

    RoundLimits limits;
    limits.timeout = std::chrono::seconds(options.timeoutSeconds);
    limits.maxOpen = MaxOpenConnections();

    Findings findings;
    findings.target = CheckTarget(servers.front(), limits, stop);
    if (findings.target.Usable()) {
        const std::vector<ServerConfig> clients(servers.begin() + 1, servers.end());
        findings.clients = CheckClients(clients, findings.target.archiveAddress, limits, stop);
    }
    if (options.json) {
        WriteJsonReport(out, findings);
    } else {
        WriteTextReport(out, findings);
    }
    out.flush();
    return ExitStatus(findings);
}

}  // namespace vaultline
