// Reading the SDK's records as both programs read them: the adapter report, one adapter with its
// texts, and a client's enabled archive target. Reading only: callers log or report the results.
#include "sync/sdk_records.h"

#include <algorithm>

#include "sync/string_field_buffer.h"

namespace vaultline {

namespace {

NetworkAdapter EmptyAdapterQuery() {
    NetworkAdapter adapter{};
    adapter.size = sizeof(NetworkAdapter);
    return adapter;
}

TargetInfo EmptyTargetQuery() {
    TargetInfo info{};
    info.size = sizeof(TargetInfo);
    info.extension.size = sizeof(TargetInfoExtension);
    return info;
}

}  // namespace

std::optional<uint64_t> ReadAdapterCount(void* handle) {
    NetworkInfo info{};
    info.size = sizeof(NetworkInfo);
    if (KXAPI_GetNetworkInfo(handle, &info) != 0) {
        return std::nullopt;
    }
    return info.adapterCount;
}

std::optional<AdapterFlags> ReadAdapterFlags(void* handle, uint64_t index) {
    NetworkAdapter adapter = EmptyAdapterQuery();
    if (KXAPI_GetNetworkAdapter(handle, index, &adapter) < 0) {
        return std::nullopt;
    }
    return AdapterFlags{adapter.connected != 0, adapter.dhcp != 0};
}

AdapterRecord ReadAdapter(void* handle, uint64_t index) {
    AdapterRecord record;
    NetworkAdapter adapter = EmptyAdapterQuery();
    if (KXAPI_GetNetworkAdapter(handle, index, &adapter) < 0) {
        record.queryFailed = true;
        return record;
    }
    record.connected = adapter.connected;
    record.dhcp = adapter.dhcp;
    const StringFieldBuffer texts{{adapter.nameLength, &adapter.name},
                                  {adapter.descriptionLength, &adapter.description},
                                  {adapter.ipLength, &adapter.ip},
                                  {adapter.macLength, &adapter.mac}};
    if (!texts.Allocated() || KXAPI_GetNetworkAdapter(handle, index, &adapter) < 0) {
        record.textsFailed = true;
        return record;
    }
    record.name = texts.Text(0);
    record.description = texts.Text(1);
    record.ip = texts.Text(2);
    record.mac = texts.Text(3);
    return record;
}

EnabledTarget ReadEnabledTarget(void* handle) {
    EnabledTarget result;
    const uint64_t count = std::min(KXAPI_GetNumTargets(handle), kMaxTargetsRead);
    for (uint64_t index = 0; index < count; ++index) {
        const int id = KXAPI_GetTargetId(handle, index);
        TargetInfo query = EmptyTargetQuery();
        if (KXAPI_GetTargetInfo(handle, id, &query) < 0) {
            result.failures.push_back({index, id, false, result.furtherEnabled});
            continue;
        }
        if (query.enabled == 0) {
            continue;
        }
        // Aims query.path at its storage until the buffer goes, at the end of this turn.
        const StringFieldBuffer path{{query.pathLength, &query.path}};
        if (!path.Allocated() || KXAPI_GetTargetInfo(handle, id, &query) < 0) {
            result.failures.push_back({index, id, true, result.furtherEnabled});
            continue;
        }
        if (result.found) {
            ++result.furtherEnabled;
            continue;
        }
        result.found = true;
        result.id = id;
        result.record = query;
        result.record.path = nullptr;
        result.path = path.Text(0);
    }
    return result;
}

}  // namespace vaultline
