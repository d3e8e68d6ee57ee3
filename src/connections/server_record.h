// One remote server's record: what the configuration says, its connection, which only the
// connection pool changes, and the checks of a client's archive target, which only the client
// rounds change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "base/clock.h"
#include "base/mutex.h"
#include "base/pending_slot.h"
#include "configuration/configuration.h"
#include "sync/client_rounds.h"

namespace vaultline {

enum class ConnState : int32_t { Closed, Open, LoggedIn };

// What an open connection has yet to deliver before it counts as getting somewhere.
enum class Awaiting { Nothing, LoginAnswer, Data };

class ConnectionPool;

// A server's connection. Worker thread only, but for `attempt` of the target, which the pool
// claims on the main thread for the target's first connection.
class ServerConnection {
public:
    ConnState State() const REQUIRES(workerThread) { return state; }
    // Logged in with nothing awaited: the server can be asked for data at once.
    bool Idle() const REQUIRES(workerThread) {
        return state == ConnState::LoggedIn && awaiting == Awaiting::Nothing;
    }
    // A connection attempt is queued and has not run yet.
    bool AttemptPending() const REQUIRES(workerThread) { return attempt.Pending(); }

private:
    friend class ConnectionPool;

    ConnState state = ConnState::Closed;
    // Names the current connection: it moves on at every open, close and loss, so a task queued
    // for an earlier connection does nothing.
    uint64_t connection = 0;
    // The connection a close is already queued for, so a flood of close requests queues one.
    std::optional<uint64_t> closeQueuedFor;
    // The one connection attempt that may be pending.
    PendingSlot attempt;
    // What the current connection has yet to deliver, and by when; one that misses its deadline
    // is treated as lost. Set afresh at every open and login, and moved on by each piece of the
    // data set, but never past `dataSetDeadline`.
    Awaiting awaiting = Awaiting::Nothing;
    Clock::TimePoint progressDeadline{};
    Clock::TimePoint dataSetDeadline{};
    // When the pool's index of progress deadlines next looks at this connection; none without
    // an entry there.
    std::optional<Clock::TimePoint> progressIndexedAt;
};

// One remote server: the archive target or one archive client.
struct ServerRecord {
    // What the configuration says about the server; set before the record is installed and
    // never changed, so any thread may read it.
    ServerConfig config;
    // Clients only: the client's place in the list of clients, with the contract of `config`.
    std::size_t place = 0;
    // Released with KXAPI_Cleanup; closing a connection keeps it for the next attempt. Set
    // before the record is installed; called only on the worker thread from then on.
    std::shared_ptr<void> handle;
    ServerConnection link;
    ClientCheck check;
    // When the service's index of confirmations next looks at this client; none without an
    // entry there. Worker thread only.
    std::optional<Clock::TimePoint> confirmIndexedAt;
};

}  // namespace vaultline
