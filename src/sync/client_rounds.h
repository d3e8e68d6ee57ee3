// The client rounds: every client checked after each address change and each recheck, one
// client's check of its archive target, the confirmation of rewrites, and when a recheck is due.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "base/logging.h"
#include "base/mutex.h"
#include "configuration/configuration.h"
#include "outcome/client_outcome.h"

namespace vaultline {

class TargetWatch;
// The service's record of one server; the rounds pass it back to their listener untouched.
struct ServerRecord;

// Why every client is being checked: the target's address was learned or changed, or a recheck
// (periodic or asked for) found it unchanged.
enum class RoundReason { AddressChange, Recheck };

// One client's check state, kept in the client's record. Only the rounds change it; the
// connections read what a login and a close request need, and tell it when a connection ends.
// Worker thread only.
class ClientCheck {
public:
    // A check is owed: a client that asks to close before the check is made is closed and
    // retried.
    bool CheckOwed() const REQUIRES(workerThread) { return state_.checkDue; }
    // The check owed is a recheck: a login that leads to it is routine.
    bool QuietLogin() const REQUIRES(workerThread) { return state_.quietCheck && state_.checkDue; }
    // A check made on the ended connection must not stop the next one's: an update sent there
    // may never have left.
    void ConnectionEnded() REQUIRES(workerThread) { state_.verifyStarted = false; }
    // When the last rewrite is to be confirmed; none while no confirmation waits.
    std::optional<Clock::TimePoint> ConfirmDue() const REQUIRES(workerThread) {
        return state_.confirmDue;
    }

    struct State {
        // At most one check of a client's archive target per connection and verification
        // interval.
        bool verifyStarted = false;
        Clock::TimePoint verifyDeadline{};
        // A check is owed: set when a round or a confirmation starts, cleared by the outcome of
        // a check.
        bool checkDue = false;
        // The check owed is a recheck: the lines about a client found correct are DEBUG.
        bool quietCheck = false;
        // The client's latest outcome in the current round; none until it has one.
        std::optional<ClientOutcome> roundOutcome;
        // When the last rewrite is to be confirmed by a check on a new connection.
        std::optional<Clock::TimePoint> confirmDue;
        // A rewrite for the current address was sent and no check has found it applied yet.
        bool rewriteUnconfirmed = false;
        // Rewrites for the current address in a row that the next check found undone; the wait
        // before each confirmation doubles with them, up to the recheck period. Reset by a check
        // that finds the client correct and by an address change.
        unsigned rewritesUndone = 0;
        std::chrono::milliseconds confirmWait{0};
    };

private:
    friend class ClientRounds;
    State state_;
};

// A client as the rounds see it.
struct RoundClient {
    ServerRecord& record;
    const ServerConfig& config;
    void* handle;
    ClientCheck& check;
};

// What the rounds ask of the rest of the service. Worker thread only.
class ClientRoundsListener {
public:
    // Every installed client, in the configuration's order.
    virtual std::vector<RoundClient> RoundClients() REQUIRES(workerThread) = 0;
    // Connects the client afresh at once; "connecting to server" is logged at `severity`.
    virtual void ReconnectClient(ServerRecord& client, Severity severity)
        REQUIRES(workerThread) = 0;
    // Queues a close of the client's connection, logged at `severity`.
    virtual void CloseClient(ServerRecord& client, Severity severity) REQUIRES(workerThread) = 0;
    // A new connection attempt is pending, which makes the current connection's outcome moot.
    virtual bool AttemptPending(const ServerRecord& client) REQUIRES(workerThread) = 0;
    // For the status line and file: how the client's check or connection ended, and when a
    // rewrite is to be confirmed.
    virtual void OutcomeNoted(const ServerRecord& client, ClientOutcome outcome,
                              std::optional<Clock::TimePoint> confirmDue)
        REQUIRES(workerThread) = 0;
    virtual void TargetFound(const ServerRecord& client, std::string_view path)
        REQUIRES(workerThread) = 0;
    virtual void TargetRewritten(const ServerRecord& client, std::string_view path)
        REQUIRES(workerThread) = 0;
    // The client's rewrite is to be confirmed at `due`: a pass then calls ConfirmIfDue.
    virtual void ConfirmationScheduled(ServerRecord& client, Clock::TimePoint due)
        REQUIRES(workerThread) = 0;
    virtual void RoundStarted(bool recheck, std::optional<Clock::TimePoint> nextRecheck)
        REQUIRES(workerThread) = 0;
    // The counts of a settled round, before its line is logged.
    virtual void RoundSettled(const std::string& address, std::size_t correct,
                              std::size_t rewritten, std::size_t failing, bool recheck)
        REQUIRES(workerThread) = 0;

protected:
    ~ClientRoundsListener() = default;
};

class ClientRounds {
public:
    // `watch` gives the address the clients are checked against; `clock` and the listener
    // outlive the rounds.
    ClientRounds(ClientRoundsListener& listener, const TargetWatch& watch, const Clock& clock,
                 std::chrono::milliseconds verifyInterval, std::chrono::milliseconds confirmDelay);

    // Main thread, in Initialize, before the target's first connection is queued; the work that
    // connection leads to reads it on the worker. Zero turns confirmations and periodic rechecks
    // off.
    void SetRecheckPeriod(std::chrono::seconds period) { recheckPeriod = period; }

    // Checks every client against the target's address, on a new connection each: after an
    // address change, or for a recheck (then logged, and a correct client quietly). Pending
    // confirmations are dropped; the next periodic recheck is due a period from now.
    void StartRound(RoundReason reason) REQUIRES(workerThread);
    // Inside the client's event handling. Checks the client's enabled archive target against
    // the target's address and rewrites a stale host.
    void VerifyClientTarget(const RoundClient& client) REQUIRES(workerThread);
    // Notes how a client's check or connection attempt ended: for the status line, the current
    // round, and the confirmation of a rewrite.
    void ReportOutcome(const RoundClient& client, ClientOutcome outcome) REQUIRES(workerThread);
    // Once per pass for each client: starts the confirmation of a rewrite when it is due.
    void ConfirmIfDue(const RoundClient& client, Clock::TimePoint now) REQUIRES(workerThread);
    // Once per pass: whether a recheck is to be asked of the target now. `asked` is a recheck
    // asked for since the last pass; `recheckWanted` says one already waits for the target's
    // adapters, which covers any asked for meanwhile. One asked for during a round waits for it
    // to settle, so a stream of requests cannot restart the clients' checks before they finish.
    bool RecheckDue(Clock::TimePoint now, bool asked, bool recheckWanted) REQUIRES(workerThread);

private:
    // For an outcome that counts. Schedules the confirmation of a rewrite, backing off while the
    // client keeps undoing them, and warns once when it has undone three in a row. The outcome
    // to count: a rewrite that keeps being undone counts as NotApplied.
    ClientOutcome FollowRewrite(const RoundClient& client, ClientOutcome outcome)
        REQUIRES(workerThread);
    // Called exactly once per round, when its last client reaches an outcome (at once for a
    // round without clients); a round replaced by a newer one never settles.
    void RoundSettled() REQUIRES(workerThread);

    ClientRoundsListener& listener;
    const TargetWatch& watch;
    const Clock& clock;
    const std::chrono::milliseconds verifyInterval;
    const std::chrono::milliseconds confirmDelay;
    // Set by SetRecheckPeriod; see there.
    std::chrono::seconds recheckPeriod{3600};
    // The round under way: why, and how many clients have no outcome yet.
    bool roundOpen GUARDED_BY(workerThread) = false;
    RoundReason roundReason GUARDED_BY(workerThread) = RoundReason::AddressChange;
    std::size_t roundPending GUARDED_BY(workerThread) = 0;
    // A recheck was asked for while a round was under way: one starts once that round settles,
    // however many were asked for.
    bool recheckAsked GUARDED_BY(workerThread) = false;
    // When the periodic recheck is due; none before the first round and while rechecks are off.
    std::optional<Clock::TimePoint> nextRecheck GUARDED_BY(workerThread);
};

}  // namespace vaultline
