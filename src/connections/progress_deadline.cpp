// Connections that get nowhere: a login answer and then the data are each awaited for a bounded
// time (for the data, from its last piece, up to a limit for the whole set), after which the
// connection is treated as lost.
#include <sstream>

#include "base/log_text.h"
#include "base/logging.h"
#include "service/vaultline.h"

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

void Vaultline::AwaitProgress(Server& server, Awaiting what, Clock::TimePoint deadline) {
    server.link.awaiting = what;
    server.link.progressDeadline = deadline;
    progressDue.Watch(server, deadline);
}

void Vaultline::DropIfStalled(Server& server, Clock::TimePoint now) {
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
    ReportOutcome(server, ClientOutcome::Stalled);
    QueueReconnect(server, true);
}

}  // namespace vaultline
