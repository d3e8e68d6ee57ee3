// Running work on the worker thread: at once, or after the retry delay.
#include <boost/asio/steady_timer.hpp>

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
    // The steady clock only moves forward, so a step of the wall clock (set at boot, corrected
    // by hand) neither holds a retry back nor fires it early. The timer waits on the real steady
    // clock, not on the service's Clock: Asio's timer reads its clock statically, so tests
    // shorten the delay itself; the Clock only dates the retry for the status line. The completion
    // handler holds the only owner of its timer: it frees the timer once the task has run, and a
    // handler discarded unrun when the queue is destroyed frees it too. The reactor the timer needs
    // exists from the start, so this takes no descriptor.
    auto timer = std::make_shared<boost::asio::steady_timer>(ioService);
    timer->expires_after(times.retryDelay);
    // The status line counts down to the earliest pending retry.
    const Clock::TimePoint due = clock.Now() + times.retryDelay;
    status.RetryQueued(due);
    timer->async_wait([this, counted, timer, due](const boost::system::error_code&) {
        status.RetryRan(due);
        counted();
    });
}

}  // namespace vaultline
