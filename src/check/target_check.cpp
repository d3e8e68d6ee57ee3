// The archive target: its adapters, and the address the service would choose from them.
#include "check/target_check.h"

#include <optional>
#include <vector>

#include "sync/adapter_choice.h"
#include "sync/sdk_records.h"

namespace vaultline {

void ReadTargetAdapters(void* handle, TargetFinding& finding) {
    const std::optional<uint64_t> count = ReadAdapterCount(handle);
    if (!count) {
        finding.problem = TargetProblem::NoNetworkInfo;
        return;
    }
    // Every adapter the service might ask about is read, in its order, for the report; the
    // choice is then made among them by the service's own rule.
    for (uint64_t index = 0; index < AdaptersToRead(*count); ++index) {
        finding.adapters.push_back(ReadAdapter(handle, index));
    }
    const AdapterChoice choice = ChooseTargetAdapter(finding.adapters);
    finding.chosen = choice.chosen;
    finding.problem = choice.problem;
    finding.archiveAddress = choice.address;
}

TargetFinding CheckTarget(const ServerConfig& target, const RoundLimits& limits,
                          const StopControl& stop) {
    TargetFinding finding;
    finding.address = target.address;
    finding.port = target.port;
    const std::vector<ServerConfig> servers{target};
    finding.reach =
        ReachServers(
            servers, limits,
            [&](std::size_t, void* handle) { ReadTargetAdapters(handle, finding); }, stop)
            .front();
    return finding;
}

}  // namespace vaultline
