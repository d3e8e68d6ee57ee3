// Checking a client's enabled archive target against the target address and rewriting its host.
#include <algorithm>

#include "base/log_text.h"
#include "sync/client_rounds.h"
#include "sync/client_target_decision.h"
#include "sync/sdk_records.h"
#include "sync/target_watch.h"

namespace vaultline {

namespace {

// Further enabled targets named one line each in a check; the rest are counted in one line, so a
// client with thousands of them cannot flood the log.
constexpr uint64_t kMaxExtraTargetWarnings = 10;

}  // namespace

void ClientRounds::VerifyClientTarget(const RoundClient& server) {
    ClientCheck::State& check = server.check.state_;
    const Clock::TimePoint now = clock.Now();
    if (check.verifyStarted && now < check.verifyDeadline) {
        return;
    }
    check.verifyStarted = true;
    check.verifyDeadline = now + verifyInterval;

    const std::string& client = server.config.address;
    const EnabledTarget read = ReadEnabledTarget(server.handle);
    // The lines about further enabled targets and about failures stand in the order the targets
    // were read; only the first few further ones get a line each.
    uint64_t warned = 0;
    const auto warnUpTo = [&](uint64_t furtherEnabled) {
        for (; warned < std::min(furtherEnabled, kMaxExtraTargetWarnings); ++warned) {
            BOOST_LOG_SEV(*logger, Severity::WARNING)
                << LogText(client) << ": multiple enabled archive targets found, using first";
        }
    };
    for (const TargetReadFailure& failure : read.failures) {
        warnUpTo(failure.furtherEnabledBefore);
        BOOST_LOG_SEV(*logger, Severity::ERROR)
            << LogText(client) << ": failed to " << (failure.filling ? "populate" : "get")
            << " target info (index " << failure.index << ", id " << failure.id << ")";
    }
    warnUpTo(read.furtherEnabled);
    if (read.furtherEnabled > kMaxExtraTargetWarnings) {
        BOOST_LOG_SEV(*logger, Severity::WARNING)
            << LogText(client) << ": multiple enabled archive targets found, using first; "
            << read.furtherEnabled - kMaxExtraTargetWarnings << " more not listed";
    }
    ClientTargetDecision decision = DecideClientTarget(read, watch.Address());
    if (decision.outcome == ClientOutcome::NoTarget) {
        BOOST_LOG_SEV(*logger, Severity::ERROR)
            << LogText(client) << ": no enabled archive targets found";
        ReportOutcome(server, decision.outcome);
        return;
    }

    const std::string& path = read.path;
    listener.TargetFound(server.record, path);
    // A recheck that finds a client correct is routine; a rewrite or a failure never is.
    const Severity found = check.quietCheck && decision.outcome == ClientOutcome::Correct
                               ? Severity::DEBUG
                               : Severity::INFO;
    BOOST_LOG_SEV(*logger, found) << LogText(client) << ": found archive target " << LogText(path);
    switch (decision.path.action) {
        case PathAction::NoLeadingBackslashes:
            BOOST_LOG_SEV(*logger, Severity::ERROR)
                << LogText(client) << ": bad archive target format, expected \\\\<host>\\";
            ReportOutcome(server, decision.outcome);
            return;
        case PathAction::Correct:
            BOOST_LOG_SEV(*logger, found) << "archive target address is correct, not updating";
            ReportOutcome(server, decision.outcome);
            listener.CloseClient(server.record, found);
            return;
        case PathAction::NoBackslashAfterHost:
            BOOST_LOG_SEV(*logger, Severity::ERROR)
                << LogText(client) << ": bad archive target format, expected \\ after host";
            ReportOutcome(server, decision.outcome);
            return;
        case PathAction::Rewrite:
            break;
    }

    std::string newPath = std::move(decision.path.newPath);
    BOOST_LOG_SEV(*logger, Severity::INFO)
        << LogText(client) << ": setting archive target address to " << LogText(newPath);
    TargetInfo update = read.record;
    update.path = newPath.data();
    // An SDK that reads the path by its length must see the new path's, NUL included.
    update.pathLength = newPath.size() + 1;
    if (KXAPI_UpdateTargetEx(server.handle, read.id, nullptr, nullptr, &update) < 0) {
        BOOST_LOG_SEV(*logger, Severity::ERROR)
            << LogText(client) << ": failed to update archive target";
        ReportOutcome(server, ClientOutcome::UpdateFailed);
        return;
    }
    listener.TargetRewritten(server.record, newPath);
    ReportOutcome(server, ClientOutcome::Rewritten);
}

}  // namespace vaultline
