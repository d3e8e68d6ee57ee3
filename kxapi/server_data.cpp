// Assembling a server's data set from its messages, with counts and size checked as they arrive.
#include "server_data.h"

#include <utility>

namespace kxapi {

const kxprotocol::Target* ServerData::FindTarget(int32_t id) const {
    const auto found = targetIndex.find(id);
    return found == targetIndex.end() ? nullptr : &targets[found->second];
}

kxprotocol::Target* ServerData::FindTarget(int32_t id) {
    return const_cast<kxprotocol::Target*>(std::as_const(*this).FindTarget(id));
}

std::string DataAssembler::Begin(const kxprotocol::DataBegin& begin) {
    if (inProgress_) {
        return "data begins again before the previous data set ended";
    }
    Reset();
    inProgress_ = true;
    expected_ = begin;
    return {};
}

std::string DataAssembler::Account(std::size_t textBytes) {
    textBytes_ += textBytes;
    return textBytes_ > kMaxDataBytes ? "data set exceeds its size bound" : std::string();
}

std::string DataAssembler::Add(kxprotocol::Adapter adapter) {
    if (!inProgress_) {
        return "adapter outside a data set";
    }
    if (data_.adapters.size() >= expected_.adapterCount) {
        return "more adapters than announced";
    }
    auto error = Account(adapter.name.size() + adapter.description.size() + adapter.mac.size() +
                         adapter.ip.size());
    if (error.empty()) {
        data_.adapters.push_back(std::move(adapter));
    }
    return error;
}

std::string DataAssembler::Add(kxprotocol::Target target) {
    if (!inProgress_) {
        return "target outside a data set";
    }
    if (data_.targets.size() >= expected_.targetCount) {
        return "more targets than announced";
    }
    auto error = Account(target.path.size());
    if (!error.empty()) {
        return error;
    }
    if (!data_.targetIndex.emplace(target.id, data_.targets.size()).second) {
        return "target id " + std::to_string(target.id) + " appears twice";
    }
    data_.targets.push_back(std::move(target));
    return {};
}

std::string DataAssembler::Finish(ServerData& completed) {
    if (!inProgress_) {
        return "data end without a data set";
    }
    if (data_.adapters.size() != expected_.adapterCount ||
        data_.targets.size() != expected_.targetCount) {
        return "data set ended with fewer records than announced";
    }
    completed = std::move(data_);
    Reset();
    return {};
}

void DataAssembler::Reset() {
    inProgress_ = false;
    expected_ = {};
    textBytes_ = 0;
    data_ = {};
}

}  // namespace kxapi
