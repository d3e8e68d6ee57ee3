// The archive clients: each one's enabled archive target and what the service would do with it.
#include "check/client_check.h"

#include <algorithm>

#include "sdk/kxapi.h"
#include "sync/address_rules.h"
#include "sync/string_field_buffer.h"

namespace {

TargetInfo EmptyTargetQuery() {
    TargetInfo info{};
    info.size = sizeof(TargetInfo);
    info.extension.size = sizeof(TargetInfoExtension);
    return info;
}

}  // namespace

void ReadClientTarget(void* handle, const std::string& archiveAddress, ClientFinding& finding) {
    const uint64_t count = std::min(KXAPI_GetNumTargets(handle), kMaxTargetsRead);
    // The first enabled target whose path could be read, as the service picks it.
    bool chosen = false;
    for (uint64_t index = 0; index < count; ++index) {
        const int id = KXAPI_GetTargetId(handle, index);
        TargetInfo query = EmptyTargetQuery();
        if (KXAPI_GetTargetInfo(handle, id, &query) < 0 || query.enabled == 0) {
            continue;
        }
        StringFieldBuffer path{{query.pathLength, &query.path}};
        if (!path.Allocated() || KXAPI_GetTargetInfo(handle, id, &query) < 0) {
            continue;
        }
        if (chosen) {
            finding.severalEnabled = true;
            continue;
        }
        chosen = true;
        finding.path = path.Text(0);
    }
    if (!chosen) {
        finding.verdict = Verdict::NoEnabledTarget;
        return;
    }

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
