// What the status file tells of the service: each client's latest outcome and its times, the
// target's connection and addresses, the rechecks and the counters; and when a write is due.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "configuration/configuration.h"
#include "on_change/runner.h"
#include "outcome/client_outcome.h"
#include "service/status_report.h"
#include "status_format/status_document.h"

namespace vaultline {

// Keeps no clock of its own: every caller passes the steady time, and a snapshot converts it to
// calendar time against the calendar time it is given, so tests can step both. Not locked: the
// main thread fills it in Initialize before it queues the work that leads the worker here, and
// after that only the worker (and, once the worker has stopped, the main thread) calls it.
class StatusFile {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // Main thread, while the configuration is read: the target, then each client in file order;
    // `client` keys that client's later calls. Credentials are not kept.
    void SetTarget(const ServerConfig& config);
    void AddClient(const void* client, const ServerConfig& config);
    // Main thread, once the configuration has been read; `now` and `calendar` are the start.
    // A failed connection is tried again `retryDelay` after it failed.
    void Configure(int64_t pid, TimePoint now, std::time_t calendar,
                   std::chrono::milliseconds retryDelay, bool rechecksOn);

    // Worker thread, like every call below. The outcome of a client's check or connection
    // attempt; `confirmDue` is when a rewrite is to be confirmed, if it is.
    void RecordOutcome(const void* client, ClientOutcome outcome, TimePoint now,
                       std::optional<TimePoint> confirmDue);
    // The path a client's check found, and the path its rewrite wrote; only their hosts are kept.
    void RecordFound(const void* client, std::string_view path);
    void RecordRewrite(const void* client, std::string_view path, TimePoint now);
    // A new target address: every client is not yet checked against it.
    void AddressChanged(const std::string& address, TimePoint now);
    // A round of checks started; the next periodic recheck is then due at `nextRecheck`.
    void RoundStarted(bool recheck, std::optional<TimePoint> nextRecheck);
    // Every client of the round has an outcome: the file is written at the next pass.
    void RoundSettled(TimePoint now);
    // The target's connection as this pass finds it.
    void TargetConnection(bool open, bool loggedIn, TimePoint now);

    // Once per pass. The document to write now, or none: at the first pass, after a settle, at
    // most once a second while anything changes, and a minute after the last write otherwise.
    std::optional<StatusDocument> Due(TimePoint now, std::time_t calendar,
                                      const OnChangeResults& onChangeRuns);
    // The document as of `now`, `stopped` for the last one written at a stop.
    StatusDocument Snapshot(TimePoint now, std::time_t calendar,
                            const OnChangeResults& onChangeRuns, bool stopped = false) const;

private:
    struct Client {
        std::string address;
        int64_t port = 0;
        std::optional<ClientOutcome> outcome;
        bool awaitingConfirmation = false;
        TimePoint since{};
        std::optional<TimePoint> checked;
        std::string foundHost;
        std::string writtenHost;
        std::optional<TimePoint> writtenAt;
        int64_t consecutiveFailures = 0;
        const char* lastFailure = "";
        std::optional<TimePoint> nextDue;
    };

    Client* Find(const void* client);

    std::string targetServer_;
    std::vector<Client> clients_;
    std::unordered_map<const void*, std::size_t> index_;
    int64_t pid_ = 0;
    TimePoint started_{};
    std::time_t startedCalendar_ = 0;
    std::chrono::milliseconds retryDelay_{5000};
    bool rechecksOn_ = true;

    std::string connection_ = "closed";
    TimePoint connectionSince_{};
    std::string address_;
    std::vector<std::pair<std::string, TimePoint>> history_;
    std::optional<TimePoint> nextRecheck_;
    std::optional<TimePoint> lastSettled_;
    int64_t addressChanges_ = 0;
    int64_t rechecks_ = 0;
    int64_t rewrites_ = 0;
    int64_t checksCorrect_ = 0;
    std::unordered_map<int, int64_t> failures_;

    bool written_ = false;
    bool changed_ = true;
    bool settled_ = false;
    TimePoint lastWrite_{};
};

}  // namespace vaultline
