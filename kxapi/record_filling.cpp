// Copying cached texts and flags into caller records; reading the path of an update record.
#include "record_filling.h"

#include <cstring>
#include <initializer_list>

#include "result_codes.h"

namespace kxapi {
namespace {

// One text field of a record: the caller's buffer, its length field and the text to deliver.
struct TextSlot {
    char* buffer;
    uint64_t* length;
    const std::string* text;
};

// With a null buffer the slot's length is set to the text's size including its NUL; with a
// buffer, the text and NUL are copied if the caller's length allows. Checks all slots first.
int CopyTexts(std::initializer_list<TextSlot> slots) {
    for (const TextSlot& slot : slots) {
        if (slot.buffer != nullptr && *slot.length < slot.text->size() + 1) {
            return kBufferTooSmall;
        }
    }
    for (const TextSlot& slot : slots) {
        if (slot.buffer == nullptr) {
            *slot.length = slot.text->size() + 1;
        } else {
            std::memcpy(slot.buffer, slot.text->data(), slot.text->size());
            slot.buffer[slot.text->size()] = '\0';
        }
    }
    return kOk;
}

bool HasTargetInfoLayout(const TargetInfo* info) {
    return info != nullptr && info->size == sizeof(TargetInfo) &&
           info->extension.size == sizeof(TargetInfoExtension);
}

}  // namespace

int FillNetworkInfo(const ServerData& data, NetworkInfo* info) {
    if (info == nullptr || info->size != sizeof(NetworkInfo)) {
        return kInvalidArgument;
    }
    info->adapterCount = data.adapters.size();
    return kOk;
}

int FillNetworkAdapter(const ServerData& data, uint64_t index, NetworkAdapter* adapter) {
    if (adapter == nullptr || adapter->size != sizeof(NetworkAdapter)) {
        return kInvalidArgument;
    }
    if (index >= data.adapters.size()) {
        return kNotFound;
    }
    const kxprotocol::Adapter& source = data.adapters[index];
    const int copied = CopyTexts({
        {adapter->name, &adapter->nameLength, &source.name},
        {adapter->description, &adapter->descriptionLength, &source.description},
        {adapter->mac, &adapter->macLength, &source.mac},
        {adapter->ip, &adapter->ipLength, &source.ip},
    });
    if (copied != kOk) {
        return copied;
    }
    adapter->connected = source.connected ? 1 : 0;
    adapter->dhcp = source.dhcp ? 1 : 0;
    return kOk;
}

int FillTargetInfo(const ServerData& data, int32_t id, TargetInfo* info) {
    if (!HasTargetInfoLayout(info)) {
        return kInvalidArgument;
    }
    const kxprotocol::Target* target = data.FindTarget(id);
    if (target == nullptr) {
        return kNotFound;
    }
    const int copied = CopyTexts({{info->path, &info->pathLength, &target->path}});
    if (copied != kOk) {
        return copied;
    }
    info->enabled = target->enabled ? 1 : 0;
    return kOk;
}

int ReadUpdatePath(const TargetInfo* info, std::string& path) {
    if (!HasTargetInfoLayout(info) || info->path == nullptr || info->pathLength == 0) {
        return kInvalidArgument;
    }
    const std::size_t length = strnlen(info->path, info->pathLength);
    if (length == 0) {
        return kInvalidArgument;
    }
    path.assign(info->path, length);
    return kOk;
}

}  // namespace kxapi
