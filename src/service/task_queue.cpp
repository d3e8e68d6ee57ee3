// Running work on the worker thread: at once, or after the retry delay on the service's clock.
#include <algorithm>
#include <map>

#include "service/vaultline.h"

namespace vaultline {

void Vaultline::Schedule(const std::function<void()>& task, bool delayed) {
    ++queuedTasks;
    // The count drops when the task runs; a task discarded unrun at destruction leaves it.
    auto counted = [this, task] {
        --queuedTasks;
        task();
    };
    if (!delayed) {
        ++immediateTasks;
        ioService.post([this, counted] {
            --immediateTasks;
            counted();
        });
        return;
    }
    // Dated on the service's clock, which only moves forward: a step of the wall clock neither
    // holds a retry back nor fires it early, and a test that moves the clock moves the retry.
    const Clock::TimePoint due = clock.Now() + times.retryDelay;
    // The status line counts down to the earliest pending retry.
    status.RetryQueued(due);
    MutexLock lock(delayedMutex);
    delayedTasks.emplace(due, [this, counted, due] {
        status.RetryRan(due);
        counted();
    });
}

void Vaultline::RunDueTasks(Clock::TimePoint now) {
    std::multimap<Clock::TimePoint, std::function<void()>> due;
    {
        MutexLock lock(delayedMutex);
        if (delayedTasks.empty() || delayedTasks.begin()->first > now) {
            return;
        }
        // Taken out together, so a task that schedules another with no delay cannot hold the
        // pass: that one waits for the next pass.
        const auto end = delayedTasks.upper_bound(now);
        while (delayedTasks.begin() != end) {
            due.insert(due.end(), delayedTasks.extract(delayedTasks.begin()));
        }
    }
    for (auto& entry : due) {
        entry.second();
    }
}

std::chrono::milliseconds Vaultline::PassWait(Clock::TimePoint now) {
    MutexLock lock(delayedMutex);
    if (delayedTasks.empty()) {
        return times.passWait;
    }
    // Rounded up, so a task due within the millisecond does not make the pass spin.
    const auto untilDue =
        std::chrono::ceil<std::chrono::milliseconds>(delayedTasks.begin()->first - now);
    return std::clamp(untilDue, std::chrono::milliseconds(0), times.passWait);
}

}  // namespace vaultline
