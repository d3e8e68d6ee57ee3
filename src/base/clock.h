// The time as the service reads it: one seam for its deadlines, retries, rechecks and status.
#pragma once

#include <chrono>
#include <ctime>

namespace vaultline {

class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~Clock() = default;

    // Any thread. Now on the steady clock, which a step of the wall clock does not move.
    virtual TimePoint Now() const = 0;
    // Any thread. Now on the calendar, for the time of day the status line shows.
    virtual std::time_t Calendar() const = 0;
};

// The system's clocks; lives as long as the process.
const Clock& SystemClock();

}  // namespace vaultline
