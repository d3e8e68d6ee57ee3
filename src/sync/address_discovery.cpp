// Finding the archive target's address from its own adapter report, and noticing changes.
#include <ctime>
#include <optional>

#include "app/log_text.h"
#include "app/logging.h"
#include "service/vaultline.h"
#include "sync/address_rules.h"
#include "sync/ipv4_address.h"
#include "sync/string_field_buffer.h"

namespace {

NetworkAdapter EmptyAdapterQuery() {
    NetworkAdapter adapter{};
    adapter.size = sizeof(NetworkAdapter);
    return adapter;
}

}  // namespace

std::string Vaultline::GetAdapterAddress(void* handle) {
    NetworkInfo info{};
    info.size = sizeof(NetworkInfo);
    if (KXAPI_GetNetworkInfo(handle, &info) != 0) {
        BOOST_LOG_SEV(*logger, ERROR) << "failed to get network info";
        return "";
    }

    const std::optional<uint64_t> candidate =
        ChooseAdapter(info.adapterCount, [handle](uint64_t index) -> std::optional<AdapterFlags> {
            NetworkAdapter adapter = EmptyAdapterQuery();
            if (KXAPI_GetNetworkAdapter(handle, index, &adapter) < 0) {
                BOOST_LOG_SEV(*logger, ERROR) << "failed to get network adapter, index " << index;
                return std::nullopt;
            }
            return AdapterFlags{adapter.connected != 0, adapter.dhcp != 0};
        });
    if (!candidate) {
        BOOST_LOG_SEV(*logger, ERROR) << "no connected network adapters found";
        return "";
    }

    NetworkAdapter adapter = EmptyAdapterQuery();
    if (KXAPI_GetNetworkAdapter(handle, *candidate, &adapter) < 0) {
        BOOST_LOG_SEV(*logger, ERROR) << "failed to re-get network adapter, index " << *candidate;
        return "";
    }
    const StringFieldBuffer texts{{adapter.nameLength, &adapter.name},
                                  {adapter.descriptionLength, &adapter.description},
                                  {adapter.ipLength, &adapter.ip},
                                  {adapter.macLength, &adapter.mac}};
    if (!texts.Allocated() || KXAPI_GetNetworkAdapter(handle, *candidate, &adapter) < 0) {
        BOOST_LOG_SEV(*logger, ERROR) << "failed to populate network adapter, index " << *candidate;
        return "";
    }
    const char* const name = texts.Text(0);
    const char* const description = texts.Text(1);
    const char* const ip = texts.Text(2);
    const char* const mac = texts.Text(3);
    BOOST_LOG_SEV(*logger, INFO) << "found connected adapter " << LogText(name) << " ("
                                 << LogText(description) << ") IP " << LogText(ip) << " MAC "
                                 << LogText(mac) << " DHCP " << adapter.dhcp;
    // Whatever the target reports ends up in every client's path, so only an address is taken.
    if (ip[0] != '\0' && !IsIPv4Address(ip)) {
        BOOST_LOG_SEV(*logger, ERROR)
            << "adapter address " << LogText(ip) << " is not an IPv4 address";
        return "";
    }
    return ip;
}

void Vaultline::QueueDiscovery(Server& server, bool delayed) {
    const auto token = server.discovery.Claim(delayed);
    if (!token) {
        return;
    }
    Schedule(
        [this, &server, token = *token] {
            if (server.discovery.Take(token)) {
                DoGetAddress(server);
            }
        },
        delayed);
}

void Vaultline::DoGetAddress(Server& server) {
    const std::string address = GetAdapterAddress(server.handle.get());
    if (address.empty() || address == kNoAdapterAddress) {
        QueueDiscovery(server, true);
        return;
    }
    if (address == targetAddress) {
        if (recheckWanted) {
            recheckWanted = false;
            StartRound(RoundReason::Recheck);
        }
        return;
    }
    const bool changed = !targetAddress.empty();
    if (changed) {
        BOOST_LOG_SEV(*logger, INFO) << "archive target address changed: " << targetAddress
                                     << " -> " << address << "; updating clients";
    } else {
        BOOST_LOG_SEV(*logger, INFO)
            << "initial target address is " << address << "; verifying clients";
    }
    onChange.Notify(AddressMoment(targetAddress, address));
    targetAddress = address;
    status.TargetAddressChanged(address, std::time(nullptr));
    // Checking every client against the new address is a recheck too.
    recheckWanted = false;
    StartRound(RoundReason::AddressChange);
}
