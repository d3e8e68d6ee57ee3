// Rounds of client checks: after each address change and each recheck, until every client has
// an outcome; confirmations of rewrites; the periodic and the asked-for recheck.
#include <algorithm>

#include "base/log_text.h"
#include "base/logging.h"
#include "service/vaultline.h"

namespace vaultline {

namespace {

// The outcomes of a check, as against those of a connection that never got to one.
bool IsCheckOutcome(ClientOutcome outcome) {
    switch (outcome) {
        case ClientOutcome::Correct:
        case ClientOutcome::Rewritten:
        case ClientOutcome::NoTarget:
        case ClientOutcome::BadFormat:
        case ClientOutcome::UpdateFailed:
        case ClientOutcome::NotApplied:
            return true;
        case ClientOutcome::Unreachable:
        case ClientOutcome::LoginRefused:
        case ClientOutcome::Stalled:
            return false;
    }
    return false;
}

// Rewrites in a row found undone before a client counts as failing, with one WARNING.
constexpr unsigned kUndoneRewritesToWarn = 3;

const char* Clients(std::size_t count) {
    return count == 1 ? " client" : " clients";
}

}  // namespace

void Vaultline::ReportOutcome(Server& server, ClientOutcome outcome) {
    if (server.config.isTarget) {
        return;
    }
    // The connection is about to be replaced by an attempt already queued: what it did is
    // moot, since an update it sent may never leave, and the next connection's outcome counts.
    if (server.attempt.Pending()) {
        status.RecordOutcome(&server, outcome);
        statusFile.RecordOutcome(&server, outcome, clock.Now(), std::nullopt);
        return;
    }
    outcome = FollowRewrite(server, outcome);
    status.RecordOutcome(&server, outcome);
    if (IsCheckOutcome(outcome)) {
        server.checkDue = false;
    }
    statusFile.RecordOutcome(&server, outcome, clock.Now(), server.confirmDue);

    if (!roundOpen) {
        return;
    }
    const bool first = !server.roundOutcome;
    server.roundOutcome = outcome;
    if (first && --roundPending == 0) {
        roundOpen = false;
        RoundSettled();
    }
}

ClientOutcome Vaultline::FollowRewrite(Server& server, ClientOutcome outcome) {
    if (outcome == ClientOutcome::Correct) {
        server.confirmDue.reset();
        server.rewriteUnconfirmed = false;
        server.rewritesUndone = 0;
        return outcome;
    }
    // A rejected or lost update leaves no trace on this side: only a later check can tell.
    if ((outcome != ClientOutcome::Rewritten && outcome != ClientOutcome::UpdateFailed) ||
        recheckPeriod.count() == 0) {
        return outcome;
    }
    const std::chrono::milliseconds longest = recheckPeriod;
    if (server.rewriteUnconfirmed) {
        // Found stale again for the same address: asking sooner would not make it stick.
        ++server.rewritesUndone;
        server.confirmWait = std::min(server.confirmWait * 2, longest);
    } else {
        server.confirmWait = std::min(times.confirmDelay, longest);
    }
    server.rewriteUnconfirmed = true;
    server.confirmDue = clock.Now() + server.confirmWait;
    confirmationsDue.Watch(server, *server.confirmDue);
    if (server.rewritesUndone == kUndoneRewritesToWarn) {
        BOOST_LOG_SEV(*logger, Severity::WARNING)
            << LogText(server.config.address) << ": update not applied after "
            << kUndoneRewritesToWarn << " attempts; retrying every "
            << std::chrono::duration_cast<std::chrono::seconds>(server.confirmWait).count() << " s";
    }
    if (outcome == ClientOutcome::Rewritten && server.rewritesUndone >= kUndoneRewritesToWarn) {
        return ClientOutcome::NotApplied;
    }
    return outcome;
}

void Vaultline::StartRound(RoundReason reason) {
    const Clock::TimePoint now = clock.Now();
    roundOpen = true;
    roundReason = reason;
    const auto& clients = InstalledClients();
    roundPending = clients.size();
    const bool recheck = reason == RoundReason::Recheck;
    for (const auto& client : clients) {
        Server& server = client->server;
        server.roundOutcome.reset();
        server.checkDue = true;
        server.quietCheck = recheck;
        server.confirmDue.reset();
        // A client checked within the verification interval would otherwise ignore the new
        // address; rewrites undone for the old one say nothing about the new one.
        if (!recheck) {
            server.verifyStarted = false;
            server.rewriteUnconfirmed = false;
            server.rewritesUndone = 0;
        }
    }
    if (recheckPeriod.count() > 0) {
        nextRecheck = now + recheckPeriod;
    } else {
        nextRecheck.reset();
    }
    status.RecheckScheduled(nextRecheck);
    statusFile.RoundStarted(recheck, nextRecheck);
    if (recheck) {
        BOOST_LOG_SEV(*logger, Severity::INFO)
            << "rechecking " << clients.size() << Clients(clients.size()) << " against "
            << targetAddress;
    }
    for (const auto& client : clients) {
        QueueReconnect(client->server, false, recheck ? Severity::DEBUG : Severity::INFO);
    }
    if (clients.empty()) {
        roundOpen = false;
        RoundSettled();
    }
}

void Vaultline::RoundSettled() {
    std::size_t correct = 0;
    std::size_t rewritten = 0;
    std::size_t failing = 0;
    const auto& clients = InstalledClients();
    for (const auto& client : clients) {
        const auto& outcome = client->server.roundOutcome;
        correct += outcome == ClientOutcome::Correct;
        rewritten += outcome == ClientOutcome::Rewritten;
        failing +=
            outcome && *outcome != ClientOutcome::Correct && *outcome != ClientOutcome::Rewritten;
    }
    const bool recheck = roundReason == RoundReason::Recheck;
    statusFile.RoundSettled(clock.Now());
    onChange.Notify(SettledMoment(targetAddress, correct, rewritten, failing, recheck));
    // Without clients there is nothing to tell.
    if (clients.empty()) {
        return;
    }
    BOOST_LOG_SEV(*logger, Severity::INFO)
        << clients.size() << Clients(clients.size()) << " checked against " << targetAddress
        << " after the " << (recheck ? "recheck" : "address change") << ": " << correct
        << " correct, " << rewritten << " rewritten, " << failing << " failing";
}

void Vaultline::RequestRecheck() {
    recheckWanted = true;
    // Without its adapter data the target cannot be asked; its next data starts the discovery.
    if (target && target->server.state == ConnState::LoggedIn &&
        target->server.awaiting == Awaiting::Nothing) {
        QueueDiscovery(target->server, false);
    }
}

void Vaultline::StartDueRecheck(Clock::TimePoint now) {
    if (recheckRequested.exchange(false)) {
        recheckAsked = true;
    }
    // A recheck waiting for the target's adapters already covers any asked for meanwhile, and
    // one asked for during a round waits for it to settle: a stream of requests must not restart
    // the clients' checks before they finish.
    if (recheckWanted) {
        recheckAsked = false;
        return;
    }
    if (roundOpen) {
        return;
    }
    if (recheckAsked || (nextRecheck && now >= *nextRecheck)) {
        recheckAsked = false;
        RequestRecheck();
    }
}

void Vaultline::ConfirmIfDue(Server& server, Clock::TimePoint now) {
    if (!server.confirmDue || now < *server.confirmDue) {
        return;
    }
    server.confirmDue.reset();
    server.checkDue = true;
    server.quietCheck = true;
    QueueReconnect(server, false, Severity::DEBUG);
}

}  // namespace vaultline
