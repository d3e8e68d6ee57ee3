// What the log queue does when it is full: a producer waits briefly for room, then its line is
// dropped and counted, and the count reaches the log where the lines are missing.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>

#include <boost/log/core/record_view.hpp>
#include <boost/thread/condition_variable.hpp>

#include "base/mutex.h"

namespace vaultline {

// An overflow strategy for Boost.Log's bounded_fifo_queue of `queueRecords` records. Its methods
// are called by the queue with the queue's lock held: on_overflow by a producer that found the
// queue full, on_queue_space_available by the feeding thread after taking a record, interrupt when
// the feeding thread is being stopped or flushed.
//
// A producer waits up to the patience for room; if none comes, its line is dropped, and so is
// every line after it without waiting, until the feeding thread takes a record again. Dropped lines
// are counted per gap, and the feeding thread, when it formats the last record queued before a gap,
// learns the gap's count from TakeDroppedAfterCurrentRecord.
class LogOverflow {
public:
    explicit LogOverflow(std::size_t queueRecords) : queueRecords_(queueRecords) {}

    // How long a producer waits for room. Set before any record is logged.
    static void SetPatience(std::chrono::milliseconds patience);

    template <class Lock>
    bool on_overflow(const boost::log::record_view&, Lock& lock) REQUIRES(queueLock_) {
        if (!dropping_) {
            const uint64_t taken = taken_;
            const uint64_t interruptions = interruptions_;
            const auto deadline = boost::chrono::steady_clock::now() + Patience();
            while (taken_ == taken && interruptions_ == interruptions &&
                   room_.wait_until(lock, deadline) == boost::cv_status::no_timeout) {
            }
            if (taken_ != taken && interruptions_ == interruptions) {
                return true;  // the queue looks for room again
            }
            dropping_ = true;
        }
        CountDropped();
        return false;
    }

    void on_queue_space_available() REQUIRES(queueLock_);
    void interrupt() REQUIRES(queueLock_);

private:
    // Lines dropped while the queue held everything up to record `after` (counted from the
    // first record ever taken, which is 1).
    struct Gap {
        uint64_t after;
        uint64_t lines;
    };

    static boost::chrono::milliseconds Patience();
    void CountDropped() REQUIRES(queueLock_);

    const std::size_t queueRecords_;
    // Stands for the queue's lock, which is the queue's own and which it holds around every call
    // above: the analysis then sees that nothing else touches what it guards.
    static inline ThreadRole queueLock_;
    boost::condition_variable room_;
    // Records the feeding thread has taken.
    uint64_t taken_ GUARDED_BY(queueLock_) = 0;
    uint64_t interruptions_ GUARDED_BY(queueLock_) = 0;
    bool dropping_ GUARDED_BY(queueLock_) = false;
    // Oldest first; at most one per record in the queue.
    std::deque<Gap> gaps_ GUARDED_BY(queueLock_);
};

// A LogOverflow for a queue of `QueueRecords`, as bounded_fifo_queue needs it: default-constructed.
template <std::size_t QueueRecords>
class BoundedLogOverflow : public LogOverflow {
public:
    BoundedLogOverflow() : LogOverflow(QueueRecords) {}
};

// Feeding thread, while formatting a record it has just taken: the number of lines dropped right
// after that record, or 0. Each count is given once.
uint64_t TakeDroppedAfterCurrentRecord();

// Any thread. Every line dropped since the process started.
uint64_t DroppedLogLines();

}  // namespace vaultline
