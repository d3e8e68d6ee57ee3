// What the status file tells of the service: each client's latest outcome and its times, the
// target's connection and addresses, the rechecks and the counters; and when a write is due.
#include "service/status_file.h"

#include <sstream>

#include "base/log_overflow.h"
#include "base/log_text.h"

namespace vaultline {

namespace {

constexpr auto kChangedInterval = std::chrono::seconds(1);
// A reader tells a stale file from a quiet service by its age.
constexpr auto kQuietInterval = std::chrono::seconds(60);

const char* OutcomeName(ClientOutcome outcome) {
    switch (outcome) {
        case ClientOutcome::Correct:
            return kOutcomeCorrect;
        case ClientOutcome::Rewritten:
            return kOutcomeRewritten;
        case ClientOutcome::Unreachable:
            return "unreachable";
        case ClientOutcome::LoginRefused:
            return "login refused";
        case ClientOutcome::NoTarget:
            return "no target";
        case ClientOutcome::BadFormat:
            return "bad format";
        case ClientOutcome::UpdateFailed:
            return "update failed";
        case ClientOutcome::Stalled:
            return "stalled";
        case ClientOutcome::NotApplied:
            return "update not applied";
    }
    return "";
}

// What went wrong, short enough for a table's last column; the log has the details.
const char* FailureText(ClientOutcome outcome) {
    switch (outcome) {
        case ClientOutcome::Unreachable:
            return "connection lost";
        case ClientOutcome::LoginRefused:
            return "login refused";
        case ClientOutcome::NoTarget:
            return "no enabled target";
        case ClientOutcome::BadFormat:
            return "malformed path";
        case ClientOutcome::UpdateFailed:
            return "update failed";
        case ClientOutcome::Stalled:
            return "no answer in time";
        case ClientOutcome::NotApplied:
            return "rewrite did not stick 3 times";
        case ClientOutcome::Correct:
        case ClientOutcome::Rewritten:
            break;
    }
    return "";
}

bool IsGood(ClientOutcome outcome) {
    return outcome == ClientOutcome::Correct || outcome == ClientOutcome::Rewritten;
}

// A connection that failed is tried again after the retry delay; a path the client holds wrongly
// waits for the next round.
bool IsRetried(ClientOutcome outcome) {
    return outcome == ClientOutcome::Unreachable || outcome == ClientOutcome::LoginRefused ||
           outcome == ClientOutcome::Stalled;
}

// The host of "\\host\share"; a path without the leading backslashes is kept whole.
std::string_view HostOf(std::string_view path) {
    if (path.substr(0, 2) != "\\\\") {
        return path;
    }
    path.remove_prefix(2);
    return path.substr(0, path.find('\\'));
}

}  // namespace

void StatusFile::SetTarget(const ServerConfig& config) {
    std::ostringstream server;
    server << config;
    targetServer_ = server.str();
}

void StatusFile::AddClient(const void* client, const ServerConfig& config) {
    index_.emplace(client, clients_.size());
    Client entry;
    entry.address = LogText(config.address);
    entry.port = config.port;
    clients_.push_back(std::move(entry));
}

void StatusFile::Configure(int64_t pid, TimePoint now, std::time_t calendar,
                           std::chrono::milliseconds retryDelay, bool rechecksOn) {
    pid_ = pid;
    started_ = now;
    startedCalendar_ = calendar;
    retryDelay_ = retryDelay;
    rechecksOn_ = rechecksOn;
    connectionSince_ = now;
    for (Client& client : clients_) {
        client.since = now;
    }
}

StatusFile::Client* StatusFile::Find(const void* client) {
    const auto entry = index_.find(client);
    return entry == index_.end() ? nullptr : &clients_[entry->second];
}

void StatusFile::RecordOutcome(const void* key, ClientOutcome outcome, TimePoint now,
                               std::optional<TimePoint> confirmDue) {
    Client* const client = Find(key);
    if (client == nullptr) {
        return;
    }
    const bool good = IsGood(outcome);
    const bool wasGood = client->outcome && IsGood(*client->outcome);
    if (!client->outcome || good != wasGood) {
        client->since = now;
    }
    client->outcome = outcome;
    client->checked = now;
    client->awaitingConfirmation = outcome == ClientOutcome::Rewritten && confirmDue.has_value();
    if (good) {
        client->consecutiveFailures = 0;
    } else {
        ++client->consecutiveFailures;
        client->lastFailure = FailureText(outcome);
        ++failures_[static_cast<int>(outcome)];
    }
    rewrites_ += outcome == ClientOutcome::Rewritten;
    checksCorrect_ += outcome == ClientOutcome::Correct;
    if (confirmDue) {
        client->nextDue = confirmDue;
    } else if (IsRetried(outcome)) {
        client->nextDue = now + retryDelay_;
    } else {
        client->nextDue.reset();
    }
    changed_ = true;
}

void StatusFile::RecordFound(const void* key, std::string_view path) {
    if (Client* const client = Find(key)) {
        client->foundHost = LogText(HostOf(path));
        changed_ = true;
    }
}

void StatusFile::RecordRewrite(const void* key, std::string_view path, TimePoint now) {
    if (Client* const client = Find(key)) {
        client->writtenHost = LogText(HostOf(path));
        client->writtenAt = now;
        changed_ = true;
    }
}

void StatusFile::AddressChanged(const std::string& address, TimePoint now) {
    addressChanges_ += !address_.empty();
    address_ = address;
    history_.emplace_back(address, now);
    if (history_.size() > kAddressHistory) {
        history_.erase(history_.begin());
    }
    for (Client& client : clients_) {
        client.outcome.reset();
        client.awaitingConfirmation = false;
        client.since = now;
        client.nextDue.reset();
    }
    changed_ = true;
}

void StatusFile::RoundStarted(bool recheck, std::optional<TimePoint> nextRecheck) {
    rechecks_ += recheck;
    nextRecheck_ = nextRecheck;
    changed_ = true;
}

void StatusFile::RoundSettled(TimePoint now) {
    lastSettled_ = now;
    settled_ = true;
    changed_ = true;
}

void StatusFile::TargetConnection(bool open, bool loggedIn, TimePoint now) {
    const char* const state = loggedIn ? kConnectionLoggedIn : open ? "open" : "closed";
    if (connection_ != state) {
        connection_ = state;
        connectionSince_ = now;
        changed_ = true;
    }
}

std::optional<StatusDocument> StatusFile::Due(TimePoint now, std::time_t calendar,
                                              const OnChangeResults& onChangeRuns) {
    const bool due = !written_ || settled_ || now - lastWrite_ >= kQuietInterval ||
                     (changed_ && now - lastWrite_ >= kChangedInterval);
    if (!due) {
        return std::nullopt;
    }
    written_ = true;
    settled_ = false;
    changed_ = false;
    lastWrite_ = now;
    return Snapshot(now, calendar, onChangeRuns);
}

StatusDocument StatusFile::Snapshot(TimePoint now, std::time_t calendar,
                                    const OnChangeResults& onChangeRuns, bool stopped) const {
    const auto at = [&](TimePoint when) -> int64_t {
        return calendar + std::chrono::round<std::chrono::seconds>(when - now).count();
    };
    const auto atIf = [&](const std::optional<TimePoint>& when) -> StatusTime {
        return when ? StatusTime(at(*when)) : std::nullopt;
    };

    StatusDocument document;
    document.pid = pid_;
    document.started = startedCalendar_;
    document.updated = calendar;
    document.state = stopped ? "stopped" : "running";
    document.targetServer = targetServer_;
    document.connection = connection_;
    document.connectionSince = at(connectionSince_);
    document.currentAddress = address_;
    if (!history_.empty()) {
        document.addressSince = at(history_.back().second);
    }
    for (const auto& [address, learned] : history_) {
        document.history.push_back({address, at(learned)});
    }
    document.rechecksOn = rechecksOn_;
    document.nextRecheck = atIf(nextRecheck_);
    document.lastSettled = atIf(lastSettled_);
    document.counters = {{"address_changes", addressChanges_},
                         {"rechecks", rechecks_},
                         {"rewrites", rewrites_},
                         {"checks_correct", checksCorrect_},
                         {"log_lines_dropped", static_cast<int64_t>(DroppedLogLines())}};
    for (const auto& [outcome, count] : failures_) {
        document.failures[OutcomeName(static_cast<ClientOutcome>(outcome))] = count;
    }
    document.onChangeRuns = {{"succeeded", onChangeRuns.succeeded},
                             {"failed", onChangeRuns.failed},
                             {"timed_out", onChangeRuns.timedOut},
                             {"not_started", onChangeRuns.notStarted}};
    document.clients.reserve(clients_.size());
    for (const Client& client : clients_) {
        StatusClient entry;
        entry.address = client.address;
        entry.port = client.port;
        entry.outcome = !client.outcome               ? kOutcomeNotChecked
                        : client.awaitingConfirmation ? kOutcomeAwaitingConfirmation
                                                      : OutcomeName(*client.outcome);
        entry.since = at(client.since);
        entry.checked = atIf(client.checked);
        entry.foundHost = client.foundHost;
        entry.writtenHost = client.writtenHost;
        entry.writtenAt = atIf(client.writtenAt);
        entry.consecutiveFailures = client.consecutiveFailures;
        entry.lastFailure = client.lastFailure;
        entry.nextDue = atIf(client.nextDue);
        document.clients.push_back(std::move(entry));
    }
    return document;
}

}  // namespace vaultline
