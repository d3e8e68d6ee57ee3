// At most one pending run of one kind of work, immediate or delayed.
#pragma once

#include <cstdint>
#include <optional>

namespace vaultline {

// Not thread-safe: used on the worker thread, or before the worker can see the record.
class PendingSlot {
public:
    // Claims the slot for a new run and returns the token its task must present, or nothing
    // when the request adds nothing: a run is pending already, and either it is immediate or
    // this request is delayed too. An immediate request replaces a pending delayed run.
    std::optional<uint64_t> Claim(bool delayed) {
        if (pending_ && (delayed || !delayed_)) {
            return std::nullopt;
        }
        pending_ = true;
        delayed_ = delayed;
        return ++token_;
    }

    // Called by the task as it starts: true when it is still the pending run, which then frees
    // the slot; false for a run that was replaced.
    bool Take(uint64_t token) {
        if (!pending_ || token != token_) {
            return false;
        }
        pending_ = false;
        return true;
    }

    bool Pending() const { return pending_; }

private:
    bool pending_ = false;
    bool delayed_ = false;
    uint64_t token_ = 0;
};

}  // namespace vaultline
