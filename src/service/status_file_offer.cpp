// Handing the status file from the worker's pass to its writer, when a write is due.
#include "service/vaultline.h"

namespace vaultline {

void Vaultline::OfferStatusFile(Clock::TimePoint now) {
    // Without a file, a pass costs nothing more than this test. Once it is enabled, Initialize
    // has installed the records and the worker reads the target's without the lock.
    if (!statusWriter.Enabled()) {
        return;
    }
    const ConnState state = pool.InstalledTarget()->server.link.State();
    statusFile.TargetConnection(state != ConnState::Closed, state == ConnState::LoggedIn, now);
    if (auto document = statusFile.Due(now, clock.Calendar(), onChange.Results())) {
        statusWriter.Offer(std::move(*document));
    }
}

}  // namespace vaultline
