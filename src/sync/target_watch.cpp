// Finding the archive target's address from its own adapter report, and noticing changes.
#include "sync/target_watch.h"

#include <optional>

#include "base/log_text.h"
#include "sync/adapter_choice.h"
#include "sync/sdk_records.h"

namespace vaultline {

std::string TargetWatch::GetAdapterAddress(void* handle) {
    const AdapterChoice choice = ChooseTargetAdapter(
        ReadAdapterCount(handle),
        [handle](uint64_t index) -> std::optional<AdapterFlags> {
            const std::optional<AdapterFlags> flags = ReadAdapterFlags(handle, index);
            if (!flags) {
                BOOST_LOG_SEV(*logger, Severity::ERROR)
                    << "failed to get network adapter, index " << index;
            }
            return flags;
        },
        [handle](uint64_t index) { return ReadAdapter(handle, index); });

    switch (choice.problem) {
        case TargetProblem::NoNetworkInfo:
            BOOST_LOG_SEV(*logger, Severity::ERROR) << "failed to get network info";
            return "";
        case TargetProblem::NoConnectedAdapter:
            BOOST_LOG_SEV(*logger, Severity::ERROR) << "no connected network adapters found";
            return "";
        case TargetProblem::ChosenUnreadable:
            BOOST_LOG_SEV(*logger, Severity::ERROR)
                << "failed to re-get network adapter, index " << *choice.chosen;
            return "";
        case TargetProblem::ChosenTextsFailed:
            BOOST_LOG_SEV(*logger, Severity::ERROR)
                << "failed to populate network adapter, index " << *choice.chosen;
            return "";
        case TargetProblem::None:
        case TargetProblem::NoAddress:
        case TargetProblem::NotIPv4:
            break;
    }
    const AdapterRecord& adapter = choice.adapter;
    // A recheck that finds the address unchanged is routine.
    const Severity found =
        recheckWanted && adapter.ip == targetAddress ? Severity::DEBUG : Severity::INFO;
    BOOST_LOG_SEV(*logger, found) << "found connected adapter " << LogText(adapter.name) << " ("
                                  << LogText(adapter.description) << ") IP " << LogText(adapter.ip)
                                  << " MAC " << LogText(adapter.mac) << " DHCP " << adapter.dhcp;
    if (choice.problem == TargetProblem::NotIPv4) {
        BOOST_LOG_SEV(*logger, Severity::ERROR)
            << "adapter address " << LogText(adapter.ip) << " is not an IPv4 address";
    }
    return choice.address;
}

void TargetWatch::QueueDiscovery(void* handle, bool delayed) {
    const auto token = discovery.Claim(delayed);
    if (!token) {
        return;
    }
    listener.ScheduleDiscovery(
        [this, handle, token = *token] {
            AssertWorkerThread();
            if (discovery.Take(token)) {
                DoGetAddress(handle);
            }
        },
        delayed);
}

void TargetWatch::RequestRecheck(void* handle, bool targetIdle) {
    recheckWanted = true;
    // Without its adapter data the target cannot be asked; its next data starts the discovery.
    if (targetIdle) {
        QueueDiscovery(handle, false);
    }
}

void TargetWatch::DoGetAddress(void* handle) {
    const std::string address = GetAdapterAddress(handle);
    // Empty when the target gave no address to use.
    if (address.empty()) {
        QueueDiscovery(handle, true);
        return;
    }
    if (address == targetAddress) {
        if (recheckWanted) {
            recheckWanted = false;
            listener.CheckClients(RoundReason::Recheck);
        }
        return;
    }
    const bool changed = !targetAddress.empty();
    if (changed) {
        BOOST_LOG_SEV(*logger, Severity::INFO)
            << "archive target address changed: " << targetAddress << " -> " << address
            << "; updating clients";
    } else {
        BOOST_LOG_SEV(*logger, Severity::INFO)
            << "initial target address is " << address << "; verifying clients";
    }
    const std::string previous = targetAddress;
    targetAddress = address;
    listener.AddressChanged(previous, address);
    // Checking every client against the new address is a recheck too.
    recheckWanted = false;
    listener.CheckClients(RoundReason::AddressChange);
}

}  // namespace vaultline
