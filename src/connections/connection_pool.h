// The connection pool: every server's record and connection, the attempts to connect and log
// in, the SDK's events, the deadlines of connections that get nowhere, and the socket pass.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "base/clock.h"
#include "base/due_index.h"
#include "base/logging.h"
#include "base/mutex.h"
#include "connections/server_record.h"
#include "outcome/client_outcome.h"
#include "sdk/kxapi.h"

namespace vaultline {

class ConnectionPool;

// What the SDK hands back to the callback. Never moves once created, so tasks and callbacks
// refer to it by plain pointer.
struct CbData {
    ConnectionPool* pool;
    ServerRecord server;
};

// The pool's delays and timeouts; the service passes its own.
struct ConnectionTimes {
    // How long a connection may go without a login answer after its open, or without data after
    // its login: counted from the last piece of its data set when the SDK reports the pieces.
    std::chrono::milliseconds progressTimeout{};
    // The longest a whole data set may take, counted from the login, however steadily it comes.
    std::chrono::milliseconds dataSetLimit{};
    // The longest a socket pass waits for its sockets, when nothing else is due sooner.
    std::chrono::milliseconds passWait{};
};

// What the pool tells the rest of the service, and asks of it. Worker thread only, but for
// ScheduleConnectionTask.
class ConnectionListener {
public:
    // Any thread. Runs `task` on the worker thread after the work already queued, or once the
    // retry delay has passed.
    virtual void ScheduleConnectionTask(const std::function<void()>& task, bool delayed) = 0;
    // A login that leads to a routine recheck, logged at DEBUG.
    virtual bool QuietLogin(const ServerRecord& server) REQUIRES(workerThread) = 0;
    // Inside the SDK's call: the data awaited since the login is in.
    virtual void DataReady(ServerRecord& server) REQUIRES(workerThread) = 0;
    // Inside the SDK's call: the server asks to end the connection.
    virtual void CloseRequested(ServerRecord& server) REQUIRES(workerThread) = 0;
    // An attempt or a connection failed: Unreachable (the open failed or the connection was
    // lost), LoginRefused or Stalled. Told before the retry is queued.
    virtual void ConnectionFailed(ServerRecord& server, ClientOutcome outcome)
        REQUIRES(workerThread) = 0;
    // Every end of a connection: a close, a loss, a stall, or the next open.
    virtual void ConnectionEnded(ServerRecord& server) REQUIRES(workerThread) = 0;

protected:
    ~ConnectionListener() = default;
};

class ConnectionPool {
public:
    // `listener` and `clock` outlive the pool.
    ConnectionPool(ConnectionListener& listener, const Clock& clock, const ConnectionTimes& times);
    // Releases the clients first, the target last; the worker has stopped by then.
    ~ConnectionPool();
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // Main thread, while the configuration is read. Creates the server's SDK instance and
    // installs its record, the target's or the next client's. Null when the SDK cannot create
    // an instance.
    ServerRecord* Install(const ServerConfig& config);

    // Worker thread, in the work the target's first connection leads to: the records as the
    // configuration left them. They were installed before that connection was queued, and
    // queueing it orders those writes before these reads; nothing changes them again until the
    // worker has stopped, so reading them needs no lock. A pass, which may run while they are
    // still installed, takes the lock instead.
    const std::unique_ptr<CbData>& InstalledTarget() const NO_THREAD_SAFETY_ANALYSIS {
        return target;
    }
    const std::vector<std::unique_ptr<CbData>>& InstalledClients() const NO_THREAD_SAFETY_ANALYSIS {
        return clients;
    }
    // Any thread.
    std::size_t ClientCount() const;
    // Worker thread. The target's SDK instance, null before it is installed; and whether its
    // connection is logged in with nothing awaited.
    void* TargetHandle() const REQUIRES(workerThread);
    bool TargetIdle() const REQUIRES(workerThread);

    // Worker thread; also the main thread for the target's first connection, before anything on
    // the worker can reach that record's attempt. Queues an open and login of `server`, at once
    // or after the retry delay. Only one attempt is ever pending per server: an immediate request
    // replaces a pending delayed attempt, any other request adds nothing. "connecting to server"
    // is logged at `severity` when an attempt is queued. Every connection it opens starts with
    // the connection ended as EndConnection ends it, and a login answer awaited.
    void QueueReconnect(ServerRecord& server, bool delayed, Severity severity = Severity::INFO);
    // Worker thread. Queues a close of the server's current connection, unless one is queued
    // already; it does nothing once that connection has been closed, lost or replaced. The close
    // is logged at `severity`.
    void QueueClose(ServerRecord& server, Severity severity = Severity::INFO)
        REQUIRES(workerThread);
    // Worker thread. Ends the server's connection, keeping its SDK instance.
    void CloseServer(ServerRecord& server, Severity severity = Severity::INFO)
        REQUIRES(workerThread);

    // Worker thread, from inside an SDK call: login outcomes, data arriving and ready, close
    // requests.
    int KxapiHandler(int event, long result, tagPayloadType* payload, unsigned long length,
                     CbData& data) REQUIRES(workerThread);

    // Worker thread, at the start of a socket pass: makes the pass's epoll set. False when none
    // could be made; that is logged and the pass wait has passed, and the pass ends there.
    bool OpenPass() REQUIRES(workerThread);
    // Worker thread, after OpenPass: drops the connections that missed their progress deadlines
    // by `now`, registers the sockets of those that are not Closed, waits at most `wait()` for
    // them, lets the SDK read and write, and closes the epoll set.
    void ServePass(Clock::TimePoint now, const std::function<std::chrono::milliseconds()>& wait)
        REQUIRES(workerThread);

private:
    friend class ServiceTestAccess;

    // Main thread. Creates the server's SDK instance (stored in `server.handle`, even when null)
    // and its callback record. Null when the SDK cannot create an instance.
    std::unique_ptr<CbData> InitServer(ServerRecord& server);

    // Worker thread. What every end of a connection does to the record: Closed, a new connection
    // number (so tasks queued for the old one do nothing), nothing awaited, and the listener
    // told. Logs nothing and makes no SDK call.
    void EndConnection(ServerRecord& server) REQUIRES(workerThread);
    // Worker thread. The connection now awaits `what` by `deadline`; the passes look at it then.
    void AwaitProgress(ServerRecord& server, Awaiting what, Clock::TimePoint deadline)
        REQUIRES(workerThread);
    // Worker thread, in a pass: connections that missed their progress deadlines are dropped.
    // Only the records whose entries have come up are looked at.
    void DropStalled(Clock::TimePoint now) REQUIRES(workerThread);
    // Worker thread, for a connection that is not Closed. One that missed its progress deadline
    // is closed with one WARNING and retried after the delay.
    void DropIfStalled(ServerRecord& server, Clock::TimePoint now) REQUIRES(workerThread);
    // Worker thread, in a pass, with recordsMutex held. Adds one connection to the pass's epoll
    // set, or declares it lost and reconnects it.
    void RegisterSocket(CbData* data) REQUIRES(workerThread, recordsMutex);
    // Worker thread, in a pass, with recordsMutex held. Registers the clients whose connections
    // are open, from `passStart` round the list, and forgets those found Closed.
    void RegisterOpenClients() REQUIRES(workerThread, recordsMutex);
    // Worker thread, when a connection opens or logs in: a client's socket is watched by every
    // pass from now until the connection is closed.
    void WatchSocket(const ServerRecord& server) REQUIRES(workerThread);
    // Worker thread. Holds the spare descriptor again if it was released.
    void TakeSpareDescriptor() REQUIRES(workerThread);

    static std::optional<Clock::TimePoint>& ProgressMark(ServerRecord& server) {
        return server.link.progressIndexedAt;
    }

    ConnectionListener& listener;
    const Clock& clock;
    const ConnectionTimes times;

    // Guards the containers `target` and `clients` (not the records in them) while the
    // configuration fills them on the main thread and the worker's passes already read them.
    mutable Mutex recordsMutex;
    std::unique_ptr<CbData> target GUARDED_BY(recordsMutex);
    std::vector<std::unique_ptr<CbData>> clients GUARDED_BY(recordsMutex);

    // Held so that a pass can always create its epoll set when connections have taken every
    // other descriptor; -1 while released. Worker thread only after construction.
    int spareDescriptor GUARDED_BY(workerThread) = -1;
    // The epoll set of the pass under way; -1 between passes.
    int passEpollFd GUARDED_BY(workerThread) = -1;
    // The place in `clients` where a pass starts registering. It moves one further when a full
    // pass served only connections the pass before had served too, so that no client is left
    // behind others that are always ready.
    std::size_t passStart GUARDED_BY(workerThread) = 0;
    // The connections the last pass served, sorted.
    std::vector<void*> servedLastPass GUARDED_BY(workerThread);
    // The places of the clients whose connections may be open, in the list's order. A pass
    // registers these and forgets those it finds Closed, so with every client closed it looks at
    // none of them.
    std::set<std::size_t> openClients GUARDED_BY(workerThread);
    // Which connections may have a progress deadline due, and when, so that a pass looks only at
    // those now due.
    DueIndex<ServerRecord> progressDue GUARDED_BY(workerThread){&ConnectionPool::ProgressMark};
};

// The SDK callback: forwards every event to the pool that owns the record in `userData`.
int KxapiCallback(int event, long result, tagPayloadType* payload, unsigned long length,
                  void* userData);

}  // namespace vaultline
