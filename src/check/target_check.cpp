// The archive target: its adapters, and the address the service would choose from them.
#include "check/target_check.h"

#include <optional>
#include <utility>

#include "sync/address_rules.h"
#include "sync/ipv4_address.h"
#include "sync/sdk_records.h"

namespace vaultline {

namespace {

// One adapter's flags, then its texts; `queryFailed` when not even the flags could be read.
AdapterFinding ReadAdapterFinding(void* handle, uint64_t index) {
    AdapterRecord record = ReadAdapter(handle, index);
    AdapterFinding finding;
    finding.index = index;
    finding.queryFailed = record.queryFailed;
    finding.textsFailed = record.textsFailed;
    finding.name = std::move(record.name);
    finding.description = std::move(record.description);
    finding.ip = std::move(record.ip);
    finding.mac = std::move(record.mac);
    finding.connected = record.connected != 0;
    finding.dhcp = record.dhcp != 0;
    return finding;
}

}  // namespace

void ReadTargetAdapters(void* handle, TargetFinding& finding) {
    const std::optional<uint64_t> count = ReadAdapterCount(handle);
    if (!count) {
        finding.problem = TargetProblem::NoNetworkInfo;
        return;
    }
    // The choice asks about adapters in the service's order and stops where the service stops;
    // the rest of those the service would read are read afterwards, for the report only.
    finding.chosen = ChooseAdapter(*count, [&](uint64_t index) -> std::optional<AdapterFlags> {
        finding.adapters.push_back(ReadAdapterFinding(handle, index));
        const AdapterFinding& adapter = finding.adapters.back();
        if (adapter.queryFailed) {
            return std::nullopt;
        }
        return AdapterFlags{adapter.connected, adapter.dhcp};
    });
    for (uint64_t index = finding.adapters.size(); index < AdaptersToRead(*count); ++index) {
        finding.adapters.push_back(ReadAdapterFinding(handle, index));
    }

    if (!finding.chosen) {
        finding.problem = TargetProblem::NoConnectedAdapter;
        return;
    }
    const AdapterFinding& chosen = finding.adapters[*finding.chosen];
    if (chosen.textsFailed) {
        finding.problem = TargetProblem::ChosenTextsFailed;
    } else if (chosen.ip.empty() || chosen.ip == kNoAdapterAddress) {
        finding.problem = TargetProblem::NoAddress;
    } else if (!IsIPv4Address(chosen.ip)) {
        finding.problem = TargetProblem::NotIPv4;
    } else {
        finding.archiveAddress = chosen.ip;
    }
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
