// libFuzzer entry: fuzzed SDK records (lengths, missing NULs, backslashes, control bytes) through
// the scripted SDK into the target address discovery and the client's archive target check.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "double/scripted_kxapi.h"
#include "parked_service.h"
#include "service/test_access.h"
#include "sync/sdk_instance.h"
#include "sync/string_field_buffer.h"

namespace {

constexpr int kConnection = 1;  // the only handle each parked service creates

// A length for a text of `size` bytes as a careless or hostile SDK might report it.
std::optional<uint64_t> ReportedLength(FuzzedDataProvider& input, std::size_t size) {
    switch (input.ConsumeIntegralInRange<int>(0, 5)) {
        case 0:
            return std::nullopt;  // size plus NUL, as it should be
        case 1:
            return 0;
        case 2:
            return size + input.ConsumeIntegralInRange<uint64_t>(0, 4) - 2 + (size < 2 ? 2 : 0);
        case 3:
            return input.ConsumeIntegralInRange<uint64_t>(0, 512);
        case 4:
            return vaultline::StringFieldBuffer::kMaxTotalLength +
                   input.ConsumeIntegralInRange<uint64_t>(0, 1);
        default:
            return input.ConsumeIntegral<uint64_t>();
    }
}

scripted_sdk::Adapter MakeAdapter(FuzzedDataProvider& input) {
    scripted_sdk::Adapter adapter;
    adapter.name = input.ConsumeRandomLengthString(64);
    adapter.description = input.ConsumeRandomLengthString(64);
    adapter.mac = input.ConsumeRandomLengthString(32);
    adapter.ip = input.ConsumeRandomLengthString(32);
    adapter.connected = input.ConsumeIntegralInRange<int32_t>(-1, 1);
    adapter.dhcp = input.ConsumeIntegralInRange<int32_t>(-1, 1);
    adapter.failQuery = input.ConsumeProbability<float>() < 0.05f;
    adapter.failReGet = input.ConsumeProbability<float>() < 0.05f;
    adapter.failPopulate = input.ConsumeProbability<float>() < 0.05f;
    adapter.fillWithoutNul = input.ConsumeBool();
    adapter.reportedLength = ReportedLength(input, adapter.ip.size());
    return adapter;
}

scripted_sdk::Target MakeTarget(FuzzedDataProvider& input) {
    scripted_sdk::Target target;
    target.id = input.ConsumeIntegralInRange<int>(-1, 3);
    target.enabled = input.ConsumeIntegralInRange<int32_t>(-1, 2);
    target.path = input.ConsumeRandomLengthString(256);
    target.failQuery = input.ConsumeProbability<float>() < 0.05f;
    target.failFill = input.ConsumeProbability<float>() < 0.05f;
    target.fillWithoutNul = input.ConsumeBool();
    target.reportedLength = ReportedLength(input, target.path.size());
    return target;
}

// The path text the service reads from a buffer of exactly the reported length with its own
// zero byte behind, or nothing when that length is refused.
std::optional<std::string> PathAsRead(const scripted_sdk::Target& target) {
    const uint64_t size = target.reportedLength.value_or(target.path.size() + 1);
    if (size > vaultline::StringFieldBuffer::kMaxTotalLength) {
        return std::nullopt;
    }
    std::string buffer(size, '\0');
    const std::size_t copied = std::min<uint64_t>(target.path.size(), size);
    std::memcpy(buffer.data(), target.path.data(), copied);
    if (target.fillWithoutNul) {
        std::memset(buffer.data() + copied, 'x', size - copied);
    }
    return std::string(buffer.c_str());
}

// An update may only swap the host of an enabled target's path for the target address: the
// share part, from the backslash after the host on, goes back byte for byte.
void CheckUpdates(const std::string& address, const std::vector<scripted_sdk::Target>& targets,
                  const std::vector<scripted_sdk::Update>& updates) {
    if (updates.size() > 1) {
        std::abort();
    }
    if (updates.empty()) {
        return;
    }
    const scripted_sdk::Update& update = updates.front();
    const scripted_sdk::Target* source = nullptr;
    for (const auto& target : targets) {
        if (target.id == update.id) {
            source = &target;  // the SDK answers for the first target with the id
            break;
        }
    }
    if (source == nullptr || source->enabled == 0 || update.enabled != source->enabled ||
        !update.reservedArgumentsNull || !update.reservedBytesIntact) {
        std::abort();
    }
    const std::optional<std::string> read = PathAsRead(*source);
    if (!read || read->compare(0, 2, "\\\\") != 0) {
        std::abort();
    }
    const std::size_t shareStart = read->find('\\', 2);
    if (shareStart == std::string::npos || read->substr(2, shareStart - 2) == address) {
        std::abort();  // no share to keep, or the host already names the address
    }
    const std::string expected = "\\\\" + address + read->substr(shareStart);
    if (update.path != expected || update.pathLength != expected.size() + 1) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    // Each check that finds the path correct leaves a queued close behind until the service is
    // replaced.
    static auto& parked = *new vaultline::fuzz_support::ParkedService(4096);
    static auto& client = *new std::unique_ptr<vaultline::ServerRecord>;
    if (parked.Due()) {
        client.reset();
    }
    vaultline::Vaultline& service = parked.Next();
    const vaultline::ServiceTestAccess access(service);
    if (!client) {
        client = std::make_unique<vaultline::ServerRecord>();
        client->config.address = "10.0.1.1";
        client->config.port = 22609;
        // The checks below make calls only; no event is delivered to the record.
        client->handle = vaultline::NewSdkInstance(
            [](int, long, tagPayloadType*, unsigned long, void*) { return 0; }, nullptr);
        if (!client->handle) {
            std::abort();
        }
    }

    FuzzedDataProvider input(data, size);
    std::vector<scripted_sdk::Adapter> adapters(input.ConsumeIntegralInRange<std::size_t>(0, 3));
    for (auto& adapter : adapters) {
        adapter = MakeAdapter(input);
    }
    std::optional<uint64_t> adapterCount;
    if (input.ConsumeProbability<float>() < 0.1f) {
        adapterCount = input.ConsumeIntegralInRange<uint64_t>(0, 5);
    }
    std::vector<scripted_sdk::Target> targets(input.ConsumeIntegralInRange<std::size_t>(0, 4));
    for (auto& target : targets) {
        target = MakeTarget(input);
    }
    const int updateResult = input.ConsumeBool() ? 0 : -1;
    scripted_sdk::Configure(kConnection, [&](scripted_sdk::Connection& connection) {
        connection.adapters = adapters;
        connection.adapterCount = adapterCount;
        connection.targets = targets;
        connection.updateResult = updateResult;
        connection.updates.clear();
        connection.adapterQueries.clear();
    });
    scripted_sdk::ClearCalls();

    // Whatever the adapters report, the check below compares against a well-formed address,
    // as the service only ever does: one learned from a plain adapter report.
    const std::string found = access.GetAdapterAddress(client->handle.get());
    (void)found;
    scripted_sdk::Adapter plain;
    plain.ip = std::to_string(input.ConsumeIntegral<uint8_t>()) + ".0.0." +
               std::to_string(input.ConsumeIntegral<uint8_t>());
    scripted_sdk::Configure(kConnection, [&](scripted_sdk::Connection& connection) {
        connection.adapters = {plain};
        connection.adapterCount.reset();
    });
    access.DoGetAddress(*client);
    vaultline::AssertWorkerThread();
    // 0.0.0.0 is no address: the one learned before stays, and before any there is none.
    const std::string address = access.TargetAddress();
    if (address.empty()) {
        return 0;
    }
    // Each input is checked as on a new connection.
    client->check.ConnectionEnded();
    access.VerifyClientTarget(*client);

    CheckUpdates(address, targets, scripted_sdk::Inspect(kConnection).updates);
    return 0;
}
