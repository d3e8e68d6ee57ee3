// The archive target: its adapters, and the address the service would choose from them.
#include "check/target_check.h"

#include "sdk/kxapi.h"
#include "sync/address_rules.h"
#include "sync/ipv4_address.h"
#include "sync/string_field_buffer.h"

namespace {

NetworkAdapter EmptyAdapterQuery() {
    NetworkAdapter adapter{};
    adapter.size = sizeof(NetworkAdapter);
    return adapter;
}

// One adapter's flags, then its texts; `queryFailed` when not even the flags could be read.
AdapterFinding ReadAdapter(void* handle, uint64_t index) {
    AdapterFinding finding;
    finding.index = index;
    NetworkAdapter adapter = EmptyAdapterQuery();
    if (KXAPI_GetNetworkAdapter(handle, index, &adapter) < 0) {
        finding.queryFailed = true;
        return finding;
    }
    finding.connected = adapter.connected != 0;
    finding.dhcp = adapter.dhcp != 0;
    const StringFieldBuffer texts{{adapter.nameLength, &adapter.name},
                                  {adapter.descriptionLength, &adapter.description},
                                  {adapter.ipLength, &adapter.ip},
                                  {adapter.macLength, &adapter.mac}};
    if (!texts.Allocated() || KXAPI_GetNetworkAdapter(handle, index, &adapter) < 0) {
        finding.textsFailed = true;
        return finding;
    }
    finding.name = texts.Text(0);
    finding.description = texts.Text(1);
    finding.ip = texts.Text(2);
    finding.mac = texts.Text(3);
    return finding;
}

}  // namespace

void ReadTargetAdapters(void* handle, TargetFinding& finding) {
    NetworkInfo info{};
    info.size = sizeof(NetworkInfo);
    if (KXAPI_GetNetworkInfo(handle, &info) != 0) {
        finding.problem = TargetProblem::NoNetworkInfo;
        return;
    }
    // The choice asks about adapters in the service's order and stops where the service stops;
    // the rest of those the service would read are read afterwards, for the report only.
    finding.chosen =
        ChooseAdapter(info.adapterCount, [&](uint64_t index) -> std::optional<AdapterFlags> {
            finding.adapters.push_back(ReadAdapter(handle, index));
            const AdapterFinding& adapter = finding.adapters.back();
            if (adapter.queryFailed) {
                return std::nullopt;
            }
            return AdapterFlags{adapter.connected, adapter.dhcp};
        });
    for (uint64_t index = finding.adapters.size(); index < AdaptersToRead(info.adapterCount);
         ++index) {
        finding.adapters.push_back(ReadAdapter(handle, index));
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
