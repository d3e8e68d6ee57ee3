// The time as the service reads it: one seam for its deadlines, retries, rechecks and status.
#include "base/clock.h"

namespace vaultline {

namespace {

class SystemTime : public Clock {
public:
    TimePoint Now() const override { return std::chrono::steady_clock::now(); }
    std::time_t Calendar() const override { return std::time(nullptr); }
};

}  // namespace

const Clock& SystemClock() {
    static const SystemTime clock;
    return clock;
}

}  // namespace vaultline
