// Which of the archive target's adapters names it, and the address it gives or why it gives none.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sync/address_rules.h"
#include "sync/sdk_records.h"

namespace vaultline {

// Why the target gave no address the service would use.
enum class TargetProblem {
    None,
    NoNetworkInfo,       // the adapter report could not be read
    NoConnectedAdapter,  // no adapter is connected, or none could be read
    ChosenUnreadable,    // the chosen adapter could not be read again for its texts
    ChosenTextsFailed,   // the chosen adapter's texts could not be read
    NoAddress,           // the chosen adapter has no address ("0.0.0.0" or empty)
    NotIPv4,             // the chosen adapter's address is not a dotted-quad IPv4 address
};

struct AdapterChoice {
    std::optional<uint64_t> chosen;  // the adapter's index
    TargetProblem problem = TargetProblem::None;
    AdapterRecord adapter;  // the chosen adapter with its texts, as read for its address
    // The address to write into the clients' paths; empty unless `problem` is None.
    std::string address;
};

// Chooses from the `count` adapters the target reports (nothing: no report) by ChooseAdapter's
// rule, asking `flagsOf` about them in its order, then takes the address from the chosen one as
// `readChosen` gives it. Only an IPv4 address is taken: it ends up in every client's path.
AdapterChoice ChooseTargetAdapter(
    std::optional<uint64_t> count,
    const std::function<std::optional<AdapterFlags>(uint64_t)>& flagsOf,
    const std::function<AdapterRecord(uint64_t)>& readChosen);

// The same choice among adapters already read, each with its texts, in index order.
AdapterChoice ChooseTargetAdapter(const std::vector<AdapterRecord>& adapters);

}  // namespace vaultline
