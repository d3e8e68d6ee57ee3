// The two moments the on-change command is run for, and the variables each hands it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vaultline {

enum class OnChangeEvent { Address, Settled };

struct OnChangeMoment {
    OnChangeEvent event = OnChangeEvent::Address;
    // Address: the address before (empty the first time) and after the change. Settled: `address`
    // is the one every client was checked against.
    std::string oldAddress;
    std::string address;
    // Settled only: the round's counts, and whether a recheck (rather than a change) started it.
    std::size_t correct = 0;
    std::size_t rewritten = 0;
    std::size_t failing = 0;
    bool recheck = false;
};

OnChangeMoment AddressMoment(const std::string& oldAddress, const std::string& newAddress);
OnChangeMoment SettledMoment(const std::string& address, std::size_t correct, std::size_t rewritten,
                             std::size_t failing, bool recheck);

// VAULTLINE_EVENT's value: "address" or "settled".
const char* EventName(OnChangeEvent event);

// The moment's variables as "NAME=value", VAULTLINE_EVENT first.
std::vector<std::string> MomentVariables(const OnChangeMoment& moment);

// Folds `later`, a moment of the same kind, into `waiting`, so that one run stands for both: the
// later values, except that an address moment keeps the address from before the first change,
// the one the command last heard of.
void Coalesce(OnChangeMoment& waiting, const OnChangeMoment& later);

// The moments waiting for the command: at most one of each kind, each coalesced from all that
// came meanwhile, and an address moment taken before a settled one.
class WaitingMoments {
public:
    // Folds `moment` into the waiting one of its kind. A new address drops a waiting settled
    // moment: its counts are for an address the command is about to hear is gone.
    void Add(const OnChangeMoment& moment);
    // Removes and returns the moment to run next; none when nothing waits.
    std::optional<OnChangeMoment> Take();
    // Puts back a moment that Take returned but could not be run, unless one of its kind has
    // come since.
    void PutBack(const OnChangeMoment& moment);
    void Clear();

private:
    std::optional<OnChangeMoment> address_;
    std::optional<OnChangeMoment> settled_;
};

}  // namespace vaultline
