// libFuzzer entry: server data decoded from frames, then handed out through the stand-in SDK's
// record filling with caller buffers of fuzzed sizes, and update records read back.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "protocol/messages.h"
#include "record_filling.h"
#include "result_codes.h"
#include "server_data.h"

namespace {

constexpr unsigned char kUntouched = 0xcc;

// Feeds the frames at the start of the input to an assembler as a handle would, keeping the last
// complete data set. Returns how many bytes the complete frames took.
std::size_t Assemble(const uint8_t* data, std::size_t size, kxapi::ServerData& completed) {
    kxapi::DataAssembler assembler;
    std::size_t offset = 0;
    while (offset < size) {
        kxprotocol::Decoded decoded = kxprotocol::DecodeFrame(data + offset, size - offset);
        if (decoded.status != kxprotocol::DecodeStatus::kComplete) {
            break;
        }
        offset += decoded.frameSize;
        const std::string error = std::visit(
            [&](auto& message) -> std::string {
                using Type = std::decay_t<decltype(message)>;
                if constexpr (std::is_same_v<Type, kxprotocol::DataBegin>) {
                    return assembler.Begin(message);
                } else if constexpr (std::is_same_v<Type, kxprotocol::Adapter> ||
                                     std::is_same_v<Type, kxprotocol::Target>) {
                    return assembler.Add(std::move(message));
                } else if constexpr (std::is_same_v<Type, kxprotocol::DataEnd>) {
                    return assembler.Finish(completed);
                } else {
                    return {};
                }
            },
            decoded.message);
        if (!error.empty()) {
            assembler.Reset();  // a handle drops the connection and the partial set with it
        }
    }
    return offset;
}

// A caller's buffer of exactly the chosen size, so any write beyond it is caught.
struct Buffer {
    explicit Buffer(uint64_t size) : bytes(new char[size]), size(size) {
        std::memset(bytes.get(), kUntouched, size);
    }
    bool Untouched() const {
        for (uint64_t i = 0; i < size; ++i) {
            if (static_cast<unsigned char>(bytes[i]) != kUntouched) {
                return false;
            }
        }
        return true;
    }
    // The text and its NUL, exactly.
    bool Holds(const std::string& text) const {
        return size >= text.size() + 1 && std::memcmp(bytes.get(), text.data(), text.size()) == 0 &&
               bytes[text.size()] == '\0';
    }
    std::unique_ptr<char[]> bytes;
    uint64_t size;
};

// The caller's length for a text the SDK reported as `reported`: usually right, sometimes short
// or long by a little.
uint64_t ChooseLength(FuzzedDataProvider& input, uint64_t reported) {
    const int delta = input.ConsumeIntegralInRange<int>(-2, 2);
    if (delta < 0 && reported < static_cast<uint64_t>(-delta)) {
        return 0;
    }
    return input.ConsumeProbability<float>() < 0.7f ? reported : reported + delta;
}

void CheckAdapter(FuzzedDataProvider& input, const kxapi::ServerData& data, uint64_t index) {
    NetworkAdapter adapter{};
    adapter.size = sizeof(NetworkAdapter);
    const int queried = kxapi::FillNetworkAdapter(data, index, &adapter);
    if (index >= data.adapters.size()) {
        if (queried != kxapi::kNotFound) {
            std::abort();
        }
        return;
    }
    if (queried != kxapi::kOk) {
        std::abort();
    }
    const kxprotocol::Adapter& source = data.adapters[index];
    Buffer name(ChooseLength(input, adapter.nameLength));
    Buffer description(ChooseLength(input, adapter.descriptionLength));
    Buffer mac(ChooseLength(input, adapter.macLength));
    Buffer ip(ChooseLength(input, adapter.ipLength));
    adapter.name = name.bytes.get();
    adapter.nameLength = name.size;
    adapter.description = description.bytes.get();
    adapter.descriptionLength = description.size;
    adapter.mac = mac.bytes.get();
    adapter.macLength = mac.size;
    adapter.ip = ip.bytes.get();
    adapter.ipLength = ip.size;
    const bool fits = name.size > source.name.size() &&
                      description.size > source.description.size() &&
                      mac.size > source.mac.size() && ip.size > source.ip.size();
    const int filled = kxapi::FillNetworkAdapter(data, index, &adapter);
    if (fits) {
        if (filled != kxapi::kOk || !name.Holds(source.name) ||
            !description.Holds(source.description) || !mac.Holds(source.mac) ||
            !ip.Holds(source.ip) || adapter.connected != (source.connected ? 1 : 0)) {
            std::abort();
        }
    } else if (filled != kxapi::kBufferTooSmall || !name.Untouched() || !description.Untouched() ||
               !mac.Untouched() || !ip.Untouched()) {
        std::abort();
    }
}

void CheckTarget(FuzzedDataProvider& input, const kxapi::ServerData& data, int32_t id) {
    TargetInfo info{};
    info.size = sizeof(TargetInfo);
    info.extension.size = sizeof(TargetInfoExtension);
    const int queried = kxapi::FillTargetInfo(data, id, &info);
    const kxprotocol::Target* source = data.FindTarget(id);
    if (source == nullptr) {
        if (queried != kxapi::kNotFound) {
            std::abort();
        }
        return;
    }
    if (queried != kxapi::kOk || info.pathLength != source->path.size() + 1) {
        std::abort();
    }
    Buffer path(ChooseLength(input, info.pathLength));
    info.path = path.bytes.get();
    info.pathLength = path.size;
    const int filled = kxapi::FillTargetInfo(data, id, &info);
    if (path.size > source->path.size()) {
        if (filled != kxapi::kOk || !path.Holds(source->path)) {
            std::abort();
        }
    } else if (filled != kxapi::kBufferTooSmall || !path.Untouched()) {
        std::abort();
    }
}

// An update record whose path buffer holds arbitrary bytes, NUL or none.
void CheckUpdatePath(FuzzedDataProvider& input) {
    const std::string bytes = input.ConsumeRandomLengthString(300);
    TargetInfo info{};
    info.size = sizeof(TargetInfo);
    info.extension.size = sizeof(TargetInfoExtension);
    std::unique_ptr<char[]> path(new char[bytes.size() + 1]);
    std::memcpy(path.get(), bytes.data(), bytes.size());
    info.path = input.ConsumeProbability<float>() < 0.05f ? nullptr : path.get();
    info.pathLength = input.ConsumeIntegralInRange<uint64_t>(0, bytes.size());
    std::string read;
    if (kxapi::ReadUpdatePath(&info, read) == kxapi::kOk &&
        (read.empty() || read.size() > info.pathLength || read.find('\0') != std::string::npos ||
         read != bytes.substr(0, read.size()))) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    kxapi::ServerData serverData;
    const std::size_t framed = Assemble(data, size, serverData);
    FuzzedDataProvider input(data + framed, size - framed);

    NetworkInfo info{};
    info.size = sizeof(NetworkInfo);
    if (kxapi::FillNetworkInfo(serverData, &info) != kxapi::kOk ||
        info.adapterCount != serverData.adapters.size()) {
        std::abort();
    }
    for (uint64_t index = 0; index <= serverData.adapters.size(); ++index) {
        CheckAdapter(input, serverData, index);
    }
    for (const auto& target : serverData.targets) {
        CheckTarget(input, serverData, target.id);
    }
    CheckTarget(input, serverData, input.ConsumeIntegral<int32_t>());
    CheckUpdatePath(input);
    return 0;
}
