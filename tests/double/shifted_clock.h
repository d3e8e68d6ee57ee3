// A clock for the service's tests: the system's, moved forward on demand, so an interval can
// be made to pass without waiting for it.
#pragma once

#include <atomic>
#include <chrono>

#include "base/clock.h"

namespace vaultline {

namespace test_double {

class ShiftedClock : public Clock {
public:
    TimePoint Now() const override { return std::chrono::steady_clock::now() + Offset(); }
    std::time_t Calendar() const override {
        return std::time(nullptr) +
               std::chrono::duration_cast<std::chrono::seconds>(Offset()).count();
    }
    // Any thread. Every later reading is `by` further on.
    void Advance(std::chrono::milliseconds by) { offsetMs_ += by.count(); }

private:
    std::chrono::milliseconds Offset() const { return std::chrono::milliseconds(offsetMs_); }
    std::atomic<std::chrono::milliseconds::rep> offsetMs_{0};
};

}  // namespace test_double

}  // namespace vaultline
