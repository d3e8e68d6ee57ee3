// The two moments the on-change command is run for, and the variables each hands it.
#include "on_change/moment.h"

namespace vaultline {

OnChangeMoment AddressMoment(const std::string& oldAddress, const std::string& newAddress) {
    OnChangeMoment moment;
    moment.event = OnChangeEvent::Address;
    moment.oldAddress = oldAddress;
    moment.address = newAddress;
    return moment;
}

OnChangeMoment SettledMoment(const std::string& address, std::size_t correct, std::size_t rewritten,
                             std::size_t failing, bool recheck) {
    OnChangeMoment moment;
    moment.event = OnChangeEvent::Settled;
    moment.address = address;
    moment.correct = correct;
    moment.rewritten = rewritten;
    moment.failing = failing;
    moment.recheck = recheck;
    return moment;
}

const char* EventName(OnChangeEvent event) {
    return event == OnChangeEvent::Address ? "address" : "settled";
}

std::vector<std::string> MomentVariables(const OnChangeMoment& moment) {
    std::vector<std::string> variables{std::string("VAULTLINE_EVENT=") + EventName(moment.event)};
    if (moment.event == OnChangeEvent::Address) {
        variables.push_back("VAULTLINE_OLD_ADDRESS=" + moment.oldAddress);
        variables.push_back("VAULTLINE_NEW_ADDRESS=" + moment.address);
        return variables;
    }
    variables.push_back("VAULTLINE_ADDRESS=" + moment.address);
    variables.push_back("VAULTLINE_CORRECT=" + std::to_string(moment.correct));
    variables.push_back("VAULTLINE_REWRITTEN=" + std::to_string(moment.rewritten));
    variables.push_back("VAULTLINE_FAILING=" + std::to_string(moment.failing));
    variables.push_back(std::string("VAULTLINE_REASON=") + (moment.recheck ? "recheck" : "change"));
    return variables;
}

void Coalesce(OnChangeMoment& waiting, const OnChangeMoment& later) {
    const std::string before = waiting.oldAddress;
    waiting = later;
    if (later.event == OnChangeEvent::Address) {
        waiting.oldAddress = before;
    }
}

void WaitingMoments::Add(const OnChangeMoment& moment) {
    auto& slot = moment.event == OnChangeEvent::Address ? address_ : settled_;
    if (slot) {
        Coalesce(*slot, moment);
    } else {
        slot = moment;
    }
    if (moment.event == OnChangeEvent::Address) {
        settled_.reset();
    }
}

std::optional<OnChangeMoment> WaitingMoments::Take() {
    auto& slot = address_ ? address_ : settled_;
    std::optional<OnChangeMoment> next = std::move(slot);
    slot.reset();
    return next;
}

void WaitingMoments::PutBack(const OnChangeMoment& moment) {
    auto& slot = moment.event == OnChangeEvent::Address ? address_ : settled_;
    if (!slot) {
        slot = moment;
    }
}

void WaitingMoments::Clear() {
    address_.reset();
    settled_.reset();
}

}  // namespace vaultline
