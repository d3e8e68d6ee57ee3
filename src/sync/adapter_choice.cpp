// Which of the archive target's adapters names it, and the address it gives or why it gives none.
#include "sync/adapter_choice.h"

#include <utility>

#include "sync/ipv4_address.h"

namespace vaultline {

AdapterChoice ChooseTargetAdapter(
    std::optional<uint64_t> count,
    const std::function<std::optional<AdapterFlags>(uint64_t)>& flagsOf,
    const std::function<AdapterRecord(uint64_t)>& readChosen) {
    AdapterChoice choice;
    if (!count) {
        choice.problem = TargetProblem::NoNetworkInfo;
        return choice;
    }
    choice.chosen = ChooseAdapter(*count, flagsOf);
    if (!choice.chosen) {
        choice.problem = TargetProblem::NoConnectedAdapter;
        return choice;
    }
    choice.adapter = readChosen(*choice.chosen);
    const std::string& ip = choice.adapter.ip;
    if (choice.adapter.queryFailed) {
        choice.problem = TargetProblem::ChosenUnreadable;
    } else if (choice.adapter.textsFailed) {
        choice.problem = TargetProblem::ChosenTextsFailed;
    } else if (ip.empty() || ip == kNoAdapterAddress) {
        choice.problem = TargetProblem::NoAddress;
    } else if (!IsIPv4Address(ip)) {
        choice.problem = TargetProblem::NotIPv4;
    } else {
        choice.address = ip;
    }
    return choice;
}

AdapterChoice ChooseTargetAdapter(const std::vector<AdapterRecord>& adapters) {
    return ChooseTargetAdapter(
        adapters.size(),
        [&](uint64_t index) -> std::optional<AdapterFlags> {
            const AdapterRecord& adapter = adapters[index];
            if (adapter.queryFailed) {
                return std::nullopt;
            }
            return AdapterFlags{adapter.connected != 0, adapter.dhcp != 0};
        },
        [&](uint64_t index) { return adapters[index]; });
}

}  // namespace vaultline
