// A clock for tests that stands still until a test moves it, so a deadline holds to the
// millisecond.
#pragma once

#include <chrono>
#include <ctime>

#include "base/clock.h"

namespace vaultline {

namespace test_double {

// Stands still until moved; starts an hour past the steady clock's epoch.
class ManualClock : public Clock {
public:
    TimePoint Now() const override { return now; }
    std::time_t Calendar() const override { return 0; }

    const TimePoint start{std::chrono::hours(1)};
    TimePoint now = start;
};

}  // namespace test_double

}  // namespace vaultline
