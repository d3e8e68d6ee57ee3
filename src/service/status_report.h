// The service's account of itself for systemd: watchdog timing, client outcomes, the status line.
#pragma once

#include <chrono>
#include <cstddef>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "base/mutex.h"
#include "outcome/client_outcome.h"

namespace vaultline {

// Keeps no clock of its own: every caller passes the time, so tests can step it. Any thread; all
// state is guarded by one internal lock.
class StatusReport {
public:
    using Clock = std::chrono::steady_clock;

    // With a zero `watchdogInterval` no watchdog ping is ever due.
    explicit StatusReport(std::chrono::microseconds watchdogInterval = {});

    // Records the outcome of the check of the client known by `client` (its record's address,
    // used only as a key); a later outcome replaces it.
    void RecordOutcome(const void* client, ClientOutcome outcome);
    // A new target address, learned at `when` (shown in local time). Forgets every client's
    // outcome: they are all checked again against the new address.
    void TargetAddressChanged(const std::string& address, std::time_t when);
    // The next periodic recheck is due at `due`; none when rechecks are off. Until the first
    // call the line says nothing about rechecks.
    void RecheckScheduled(std::optional<Clock::time_point> due);
    // A retry due at `due` was queued; RetryRan with the same time once it has run.
    void RetryQueued(Clock::time_point due);
    void RetryRan(Clock::time_point due);

    // The status line as of `now`, with `clientCount` clients configured.
    std::string Text(Clock::time_point now, std::size_t clientCount) const;

    // Once per socket pass. The notification to send now, or "" when nothing is due:
    // "WATCHDOG=1" when the last ping is half a watchdog interval old, less one pass, and
    // "STATUS=" with the line when it differs from the last one sent and that one is at least a
    // second old. Both go in one message, one per line.
    std::string Pass(Clock::time_point now, std::size_t clientCount);

private:
    std::string TextLocked(Clock::time_point now, std::size_t clientCount) const REQUIRES(mutex_);

    const Clock::duration pingPeriod_;
    mutable Mutex mutex_;
    // Everything below is guarded by mutex_.
    std::map<const void*, ClientOutcome> outcomes_ GUARDED_BY(mutex_);
    std::string targetAddress_ GUARDED_BY(mutex_);
    std::string targetSince_ GUARDED_BY(mutex_);
    std::multiset<Clock::time_point> retries_ GUARDED_BY(mutex_);
    bool rechecksKnown_ GUARDED_BY(mutex_) = false;
    std::optional<Clock::time_point> nextRecheck_ GUARDED_BY(mutex_);
    // When a countdown alone last had the line composed.
    Clock::time_point lastCountdownReview_ GUARDED_BY(mutex_){};
    // Something shown has changed since the line was last composed.
    bool changed_ GUARDED_BY(mutex_) = true;
    std::size_t lastClientCount_ GUARDED_BY(mutex_) = 0;
    bool pinged_ GUARDED_BY(mutex_) = false;
    Clock::time_point lastPing_ GUARDED_BY(mutex_){};
    bool statusSent_ GUARDED_BY(mutex_) = false;
    Clock::time_point lastStatus_ GUARDED_BY(mutex_){};
    std::string lastText_ GUARDED_BY(mutex_);
};

}  // namespace vaultline
