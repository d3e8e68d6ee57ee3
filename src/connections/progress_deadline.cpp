// Connections that get nowhere: a login answer and then the data are each awaited for a bounded
// time (for the data, from its last piece, up to a limit for the whole set), after which the
// connection is treated as lost.
#include <sstream>

#include "base/log_text.h"
#include "base/logging.h"
#include "connections/connection_pool.h"

namespace vaultline {

namespace {

// Whole seconds as "30 s"; a shortened timeout as "250 ms".
std::string DurationText(std::chrono::milliseconds duration) {
    std::ostringstream text;
    if (duration.count() % 1000 == 0) {
        text << duration.count() / 1000 << " s";
    } else {
        text << duration.count() << " ms";
    }
    return text.str();
}

}  // namespace

void ConnectionPool::AwaitProgress(ServerRecord& server, Awaiting what, Clock::TimePoint deadline) {
    server.link.awaiting = what;
    server.link.progressDeadline = deadline;
    progressDue.Watch(server, deadline);
}

void ConnectionPool::DropIfStalled(ServerRecord& server, Clock::TimePoint now) {
    if (server.link.awaiting == Awaiting::Nothing || now < server.link.progressDeadline) {
        return;
    }
    const char* missing = "login answer";
    if (server.link.awaiting == Awaiting::Data) {
        missing = server.config.isTarget ? "adapter data" : "archive target data";
    }
    BOOST_LOG_SEV(*logger, Severity::WARNING)
        << "no " << missing << " from " << server.config << " within "
        << DurationText(times.progressTimeout) << "; reconnecting";
    EndConnection(server);
    KXAPI_Close(server.handle.get());
    listener.ConnectionFailed(server, ClientOutcome::Stalled);
    QueueReconnect(server, true);
}

void ConnectionPool::DropStalled(Clock::TimePoint now) {
    // The visits run inside this call, on the worker.
    progressDue.TakeDue(now, [&](ServerRecord& server) {
        AssertWorkerThread();
        // A connection that is not open has nothing to drop; its next open sets a deadline anew.
        if (server.link.state == ConnState::Closed || server.link.awaiting == Awaiting::Nothing) {
            return;
        }
        if (now < server.link.progressDeadline) {
            progressDue.Watch(server, server.link.progressDeadline);
            return;
        }
        DropIfStalled(server, now);
    });
}

}  // namespace vaultline
