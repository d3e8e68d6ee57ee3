// The worker's pass: the retries now due, the on-change command, a recheck and the confirmations
// now due, the connection pool's socket pass, and the reports; then the next pass is posted.
#include "service/vaultline.h"

namespace vaultline {

void Vaultline::PollSockets() {
    // First, so that retries go on even when no epoll set can be made, and a connection a retry
    // opens is watched in this very pass.
    RunDueTasks(clock.Now());
    if (pool.OpenPass()) {
        const Clock::TimePoint now = clock.Now();
        onChange.Poll(now);
        if (rounds.RecheckDue(now, recheckRequested.exchange(false), watch.RecheckWanted())) {
            RequestRecheck();
        }
        RunDueConfirmations(now);
        // Work already queued runs right after this pass, so the pass only looks at what is
        // ready; a retry falling due sooner than the pass wait shortens the wait.
        pool.ServePass(now, [this] {
            AssertWorkerThread();
            return immediateTasks > 0 ? std::chrono::milliseconds(0) : PassWait(clock.Now());
        });
        ReportPass();
        OfferStatusFile(now);
    }
    ioService.post([this] {
        AssertWorkerThread();
        PollSockets();
    });
}

void Vaultline::RunDueConfirmations(Clock::TimePoint now) {
    // The visits run inside this call, on the worker.
    confirmationsDue.TakeDue(now, [&](Server& server) {
        AssertWorkerThread();
        const std::optional<Clock::TimePoint> due = server.check.ConfirmDue();
        if (due && now < *due) {
            confirmationsDue.Watch(server, *due);
            return;
        }
        rounds.ConfirmIfDue(RoundView(server), now);
    });
}

}  // namespace vaultline
