// Rounds of client checks: after each address change and each recheck, until every client has
// an outcome; confirmations of rewrites; when the periodic and the asked-for recheck are due.
#include "sync/client_rounds.h"

#include <algorithm>

#include "base/log_text.h"
#include "sync/target_watch.h"

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

ClientRounds::ClientRounds(ClientRoundsListener& listener, const TargetWatch& watch,
                           const Clock& clock, std::chrono::milliseconds verifyInterval,
                           std::chrono::milliseconds confirmDelay)
    : listener(listener),
      watch(watch),
      clock(clock),
      verifyInterval(verifyInterval),
      confirmDelay(confirmDelay) {}

void ClientRounds::ReportOutcome(const RoundClient& client, ClientOutcome outcome) {
    ClientCheck::State& check = client.check.state_;
    // The connection is about to be replaced by an attempt already queued: what it did is
    // moot, since an update it sent may never leave, and the next connection's outcome counts.
    if (listener.AttemptPending(client.record)) {
        listener.OutcomeNoted(client.record, outcome, std::nullopt);
        return;
    }
    outcome = FollowRewrite(client, outcome);
    if (IsCheckOutcome(outcome)) {
        check.checkDue = false;
    }
    listener.OutcomeNoted(client.record, outcome, check.confirmDue);

    if (!roundOpen) {
        return;
    }
    const bool first = !check.roundOutcome;
    check.roundOutcome = outcome;
    if (first && --roundPending == 0) {
        roundOpen = false;
        RoundSettled();
    }
}

ClientOutcome ClientRounds::FollowRewrite(const RoundClient& client, ClientOutcome outcome) {
    ClientCheck::State& check = client.check.state_;
    if (outcome == ClientOutcome::Correct) {
        check.confirmDue.reset();
        check.rewriteUnconfirmed = false;
        check.rewritesUndone = 0;
        return outcome;
    }
    // A rejected or lost update leaves no trace on this side: only a later check can tell.
    if ((outcome != ClientOutcome::Rewritten && outcome != ClientOutcome::UpdateFailed) ||
        recheckPeriod.count() == 0) {
        return outcome;
    }
    const std::chrono::milliseconds longest = recheckPeriod;
    if (check.rewriteUnconfirmed) {
        // Found stale again for the same address: asking sooner would not make it stick.
        ++check.rewritesUndone;
        check.confirmWait = std::min(check.confirmWait * 2, longest);
    } else {
        check.confirmWait = std::min(confirmDelay, longest);
    }
    check.rewriteUnconfirmed = true;
    check.confirmDue = clock.Now() + check.confirmWait;
    listener.ConfirmationScheduled(client.record, *check.confirmDue);
    if (check.rewritesUndone == kUndoneRewritesToWarn) {
        BOOST_LOG_SEV(*logger, Severity::WARNING)
            << LogText(client.config.address) << ": update not applied after "
            << kUndoneRewritesToWarn << " attempts; retrying every "
            << std::chrono::duration_cast<std::chrono::seconds>(check.confirmWait).count() << " s";
    }
    if (outcome == ClientOutcome::Rewritten && check.rewritesUndone >= kUndoneRewritesToWarn) {
        return ClientOutcome::NotApplied;
    }
    return outcome;
}

void ClientRounds::StartRound(RoundReason reason) {
    const Clock::TimePoint now = clock.Now();
    roundOpen = true;
    roundReason = reason;
    const std::vector<RoundClient> clients = listener.RoundClients();
    roundPending = clients.size();
    const bool recheck = reason == RoundReason::Recheck;
    for (const RoundClient& client : clients) {
        ClientCheck::State& check = client.check.state_;
        check.roundOutcome.reset();
        check.checkDue = true;
        check.quietCheck = recheck;
        check.confirmDue.reset();
        // A client checked within the verification interval would otherwise ignore the new
        // address; rewrites undone for the old one say nothing about the new one.
        if (!recheck) {
            check.verifyStarted = false;
            check.rewriteUnconfirmed = false;
            check.rewritesUndone = 0;
        }
    }
    if (recheckPeriod.count() > 0) {
        nextRecheck = now + recheckPeriod;
    } else {
        nextRecheck.reset();
    }
    listener.RoundStarted(recheck, nextRecheck);
    if (recheck) {
        BOOST_LOG_SEV(*logger, Severity::INFO)
            << "rechecking " << clients.size() << Clients(clients.size()) << " against "
            << watch.Address();
    }
    for (const RoundClient& client : clients) {
        listener.ReconnectClient(client.record, recheck ? Severity::DEBUG : Severity::INFO);
    }
    if (clients.empty()) {
        roundOpen = false;
        RoundSettled();
    }
}

void ClientRounds::RoundSettled() {
    std::size_t correct = 0;
    std::size_t rewritten = 0;
    std::size_t failing = 0;
    const std::vector<RoundClient> clients = listener.RoundClients();
    for (const RoundClient& client : clients) {
        const auto& outcome = client.check.state_.roundOutcome;
        correct += outcome == ClientOutcome::Correct;
        rewritten += outcome == ClientOutcome::Rewritten;
        failing +=
            outcome && *outcome != ClientOutcome::Correct && *outcome != ClientOutcome::Rewritten;
    }
    const bool recheck = roundReason == RoundReason::Recheck;
    const std::string& address = watch.Address();
    listener.RoundSettled(address, correct, rewritten, failing, recheck);
    // Without clients there is nothing to tell.
    if (clients.empty()) {
        return;
    }
    BOOST_LOG_SEV(*logger, Severity::INFO)
        << clients.size() << Clients(clients.size()) << " checked against " << address
        << " after the " << (recheck ? "recheck" : "address change") << ": " << correct
        << " correct, " << rewritten << " rewritten, " << failing << " failing";
}

bool ClientRounds::RecheckDue(Clock::TimePoint now, bool asked, bool recheckWanted) {
    if (asked) {
        recheckAsked = true;
    }
    // A recheck waiting for the target's adapters already covers any asked for meanwhile, and
    // one asked for during a round waits for it to settle: a stream of requests must not restart
    // the clients' checks before they finish.
    if (recheckWanted) {
        recheckAsked = false;
        return false;
    }
    if (roundOpen) {
        return false;
    }
    if (recheckAsked || (nextRecheck && now >= *nextRecheck)) {
        recheckAsked = false;
        return true;
    }
    return false;
}

void ClientRounds::ConfirmIfDue(const RoundClient& client, Clock::TimePoint now) {
    ClientCheck::State& check = client.check.state_;
    if (!check.confirmDue || now < *check.confirmDue) {
        return;
    }
    check.confirmDue.reset();
    check.checkDue = true;
    check.quietCheck = true;
    listener.ReconnectClient(client.record, Severity::DEBUG);
}

}  // namespace vaultline
