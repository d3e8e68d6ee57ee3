// What the log queue does when it is full: a producer waits briefly for room, then its line is
// dropped and counted, and the count reaches the log where the lines are missing.
#include "base/log_overflow.h"

#include <atomic>

namespace vaultline {

namespace {

std::atomic<long> patienceMs{100};
// Set by on_queue_space_available and read by the formatter, both on the feeding thread, which
// takes a record and formats it before it takes the next.
thread_local uint64_t droppedAfterCurrent = 0;
std::atomic<uint64_t> droppedTotal{0};

}  // namespace

void LogOverflow::SetPatience(std::chrono::milliseconds patience) {
    patienceMs = static_cast<long>(patience.count());
}

boost::chrono::milliseconds LogOverflow::Patience() {
    return boost::chrono::milliseconds(patienceMs.load());
}

void LogOverflow::CountDropped() {
    droppedTotal.fetch_add(1, std::memory_order_relaxed);
    // The queue is full, so the gap follows the record at its back.
    const uint64_t after = taken_ + queueRecords_;
    if (!gaps_.empty() && gaps_.back().after == after) {
        ++gaps_.back().lines;
    } else {
        gaps_.push_back({after, 1});
    }
}

void LogOverflow::on_queue_space_available() {
    ++taken_;
    dropping_ = false;
    droppedAfterCurrent = 0;
    if (!gaps_.empty() && gaps_.front().after == taken_) {
        droppedAfterCurrent = gaps_.front().lines;
        gaps_.pop_front();
    }
    room_.notify_all();
}

void LogOverflow::interrupt() {
    ++interruptions_;
    room_.notify_all();
}

uint64_t TakeDroppedAfterCurrentRecord() {
    const uint64_t dropped = droppedAfterCurrent;
    droppedAfterCurrent = 0;
    return dropped;
}

uint64_t DroppedLogLines() {
    return droppedTotal.load(std::memory_order_relaxed);
}

}  // namespace vaultline
