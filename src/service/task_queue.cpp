// Running work on the worker thread: at once, or after the fixed 5-second retry delay.
#include <boost/asio/deadline_timer.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "service/vaultline.h"

namespace {
const boost::posix_time::seconds kRetryDelay(5);
}  // namespace

void Vaultline::Schedule(const std::function<void()>& task, bool delayed) {
    if (!delayed) {
        ioService.post(task);
        return;
    }
    // The completion handler holds the only owner of its timer: it frees the timer once the task
    // has run, and a handler discarded unrun when the queue is destroyed frees it too.
    auto timer = std::make_shared<boost::asio::deadline_timer>(ioService);
    timer->expires_from_now(kRetryDelay);
    // The status line counts down to the earliest pending retry.
    const auto due = StatusReport::Clock::now() + std::chrono::seconds(kRetryDelay.total_seconds());
    status.RetryQueued(due);
    timer->async_wait([this, task, timer, due](const boost::system::error_code&) {
        status.RetryRan(due);
        task();
    });
}
