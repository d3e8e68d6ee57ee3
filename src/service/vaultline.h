// The service object: the server records, the worker thread and its task queue, and the wiring
// of the target watch and the client rounds to the connections and the status report.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "base/clock.h"
#include "base/logging.h"
#include "base/mutex.h"
#include "base/pending_slot.h"
#include "configuration/configuration.h"
#include "on_change/runner.h"
#include "sdk/kxapi.h"
#include "service/due_index.h"
#include "service/status_file.h"
#include "service/status_file_writer.h"
#include "service/status_report.h"
#include "service/systemd_notify.h"
#include "sync/client_rounds.h"
#include "sync/target_watch.h"

namespace vaultline {

enum class ConnState : int32_t { Closed, Open, LoggedIn };

// What an open connection has yet to deliver before it counts as getting somewhere.
enum class Awaiting { Nothing, LoginAnswer, Data };

// The service's delays and timeouts. The defaults are the service's own; tests pass shorter ones.
struct ServiceTimes {
    // Every retry, of a connection or of a discovery, waits this long.
    std::chrono::milliseconds retryDelay{5000};
    // A client's archive target is checked at most once per connection within this interval.
    std::chrono::milliseconds verifyInterval{60000};
    // How long a connection may go without a login answer after its open, or without data after
    // its login: counted from the last piece of its data set when the SDK reports the pieces.
    std::chrono::milliseconds progressTimeout{30000};
    // The longest a whole data set may take, counted from the login, however steadily it comes.
    std::chrono::milliseconds dataSetLimit{600000};
    // The longest wait before a rewrite is confirmed; the recheck period caps it.
    std::chrono::milliseconds confirmDelay{60000};
    // The longest a socket pass waits for its sockets.
    std::chrono::milliseconds passWait{100};
};

// One remote server: the archive target or one archive client, in three parts: what the
// configuration says, its connection, and the checks of a client's archive target. The connection
// part is the service's own; only the client rounds change the check part.
struct ServerRecord {
    // What the configuration says about the server; set before the record is installed and
    // never changed, so any thread may read it.
    ServerConfig config;
    // Clients only: the client's place in the list of clients, with the contract of `config`.
    std::size_t place = 0;
    // Released with KXAPI_Cleanup; closing a connection keeps it for the next attempt. Set
    // before the record is installed; called only on the worker thread from then on.
    std::shared_ptr<void> handle;

    // The server's connection. Worker thread only, but for `attempt` of the target, which
    // Initialize claims on the main thread for the target's first connection.
    struct Connection {
        ConnState state = ConnState::Closed;
        // Names the current connection: it moves on at every open, close and loss, so a task
        // queued for an earlier connection does nothing.
        uint64_t connection = 0;
        // The connection a close is already queued for, so a flood of close requests queues
        // one.
        std::optional<uint64_t> closeQueuedFor;
        // The one connection attempt that may be pending.
        PendingSlot attempt;
        // What the current connection has yet to deliver, and by when; one that misses its
        // deadline is treated as lost. Set afresh at every open and login, and moved on by
        // each piece of the data set, but never past `dataSetDeadline`.
        Awaiting awaiting = Awaiting::Nothing;
        Clock::TimePoint progressDeadline{};
        Clock::TimePoint dataSetDeadline{};
    };
    Connection link;

    // The checks of a client's archive target, which only the client rounds change.
    ClientCheck check;
    // When the record's entries in the service's indexes of progress deadlines and of
    // confirmations come up; none without one. Worker thread only.
    std::optional<Clock::TimePoint> progressIndexedAt;
    std::optional<Clock::TimePoint> confirmIndexedAt;
};

// The service: owns the worker thread, the task queue, the records and the components, and
// answers what the target watch and the client rounds ask of it, on the worker thread.
class Vaultline final : private TargetWatchListener, private ClientRoundsListener {
public:
    // One remote server: the archive target or one archive client.
    using Server = ServerRecord;

    // What the SDK hands back to the callback. Never moves once created, so tasks and
    // callbacks refer to it by plain pointer.
    struct CbData {
        Vaultline* service;
        Server server;
    };

    // Starts the worker thread; the last step publishes the object as `runningService`. `clock`
    // must outlive the object.
    explicit Vaultline(const ServiceTimes& times = {}, const Clock& clock = SystemClock());
    // Stops and joins the worker before any record is freed, so no callback or task can reach a
    // freed record. Clients are released first, the target last.
    ~Vaultline();
    Vaultline(const Vaultline&) = delete;
    Vaultline& operator=(const Vaultline&) = delete;

    // Main thread. Returns when start-up fails or once a stop has been requested.
    void Run();

    // Main thread, once. Reads "vaultline.conf" from the working directory, builds the records
    // and queues the target's first connection. False after a failure it has already logged.
    bool Initialize();

    // Main thread. Stops and joins the worker; the destructor does it too. After it returns no
    // task or callback runs any more, and WorkerFailed() is final.
    void StopWorker();

    // Any thread; safe in a signal handler. Run returns at the end of its current step.
    void RequestStop() noexcept { stopRequested = true; }
    // Any thread; safe in a signal handler. The worker starts a recheck at its next pass.
    void AskForRecheck() noexcept { recheckRequested = true; }
    // True once an exception left a task; the worker has then stopped and asked for a stop.
    bool WorkerFailed() const { return workerFailed; }

    // Worker thread, from inside an SDK call: login outcomes, data ready, close requests.
    int KxapiHandler(int event, long result, tagPayloadType* payload, unsigned long length,
                     CbData& data) REQUIRES(workerThread);

private:
    friend class ServiceTestAccess;

    // Body of the worker thread: runs the task queue and the socket passes until stopped.
    void WorkerMain();

    // Main thread, in Initialize. Creates the server's SDK instance (stored in `server.handle`,
    // even when null) and its callback record. Null when the SDK cannot create an instance.
    std::unique_ptr<CbData> InitServer(Server& server);

    // Worker thread. Ends the server's connection, keeping its SDK instance.
    void CloseServer(Server& server, Severity severity = Severity::INFO) REQUIRES(workerThread);
    // Worker thread. What every end of a connection does to the record: Closed, a new connection
    // number (so tasks queued for the old one do nothing), the check guard cleared, nothing
    // awaited. Logs nothing and makes no SDK call.
    void EndConnection(Server& server) REQUIRES(workerThread);
    // Worker thread. Queues a close of the server's current connection, unless one is queued
    // already; it does nothing once that connection has been closed, lost or replaced. The close
    // is logged at `severity`.
    void QueueClose(Server& server, Severity severity = Severity::INFO) REQUIRES(workerThread);

    // Any thread. Runs `task` on the worker thread after the work already queued, or, when
    // `delayed`, at the first socket pass once the retry delay has passed on `clock`. A task
    // still waiting when the service is destroyed never runs.
    void Schedule(const std::function<void()>& task, bool delayed);
    // Worker thread, at the start of every socket pass: runs the delayed tasks due by `now`, in
    // the order they fall due; those they schedule wait for a later pass.
    void RunDueTasks(Clock::TimePoint now) REQUIRES(workerThread);
    // Worker thread. How long a pass at `now` may wait for its sockets: the pass wait, or less
    // when a delayed task falls due sooner.
    std::chrono::milliseconds PassWait(Clock::TimePoint now) REQUIRES(workerThread);

    // Worker thread; Initialize also calls it on the main thread for the target's first
    // connection, before anything on the worker can reach that record's attempt. Queues an open
    // and login of `server`, at once or after the retry delay. `server` must belong to a record
    // the service owns. Only one attempt is ever pending per server: an immediate request
    // replaces a pending delayed attempt, any other request adds nothing. "connecting to server"
    // is logged at `severity` when an attempt is queued. Every connection it opens starts with
    // the connection ended as EndConnection ends it, and a login answer awaited.
    void QueueReconnect(Server& server, bool delayed, Severity severity = Severity::INFO);

    // Worker thread. One pass of the socket loop: runs the delayed tasks now due, waits at most
    // the pass wait (less when a delayed task falls due sooner) for the sockets of the
    // connections that are not Closed, lets the SDK read and write, and posts the next pass.
    void PollSockets() REQUIRES(workerThread);
    // Worker thread, in a pass, with recordsMutex held. Adds one connection to the pass's epoll
    // set, or declares it lost and reconnects it.
    void RegisterSocket(int epollFd, CbData* data) REQUIRES(workerThread, recordsMutex);
    // Worker thread, in a pass, with recordsMutex held. Registers the clients whose connections
    // are open, from `passStart` round the list, and forgets those found Closed.
    void RegisterOpenClients(int epollFd) REQUIRES(workerThread, recordsMutex);
    // Worker thread, in a pass: confirmations that have fallen due start, then connections
    // that missed their progress deadlines are dropped. Only the records whose entries have come
    // up are looked at.
    void RunDueChecks(Clock::TimePoint now) REQUIRES(workerThread);
    // Worker thread, in a pass, for a connection that is not Closed. One that missed its progress
    // deadline is closed with one WARNING and retried after the delay.
    void DropIfStalled(Server& server, Clock::TimePoint now) REQUIRES(workerThread);
    // Worker thread. The connection now awaits `what` by `deadline`; the passes look at it then.
    void AwaitProgress(Server& server, Awaiting what, Clock::TimePoint deadline)
        REQUIRES(workerThread);
    // Worker thread, when a connection opens or logs in: a client's socket is watched by every
    // pass from now until the connection is closed.
    void WatchSocket(const Server& server) REQUIRES(workerThread);
    // Worker thread. Holds the spare descriptor again if it was released.
    void TakeSpareDescriptor() REQUIRES(workerThread);

    // Worker thread. Hands how a client's check or connection attempt ended to the rounds; the
    // target's own outcomes are not counted.
    void ReportOutcome(Server& server, ClientOutcome outcome) REQUIRES(workerThread);
    // Worker thread, with recordsMutex held. Asks the target watch for a recheck, telling it
    // whether the target can be asked at once.
    void RequestRecheck() REQUIRES(workerThread, recordsMutex);
    // A server as the client rounds see it.
    static RoundClient RoundView(Server& server);

    // What the target watch asks of the service.
    void ScheduleDiscovery(const std::function<void()>& task, bool delayed) override
        REQUIRES(workerThread);
    void AddressChanged(const std::string& previous, const std::string& address) override
        REQUIRES(workerThread);
    void CheckClients(RoundReason reason) override REQUIRES(workerThread);
    // What the client rounds ask of the service.
    std::vector<RoundClient> RoundClients() override REQUIRES(workerThread);
    void ReconnectClient(ServerRecord& client, Severity severity) override REQUIRES(workerThread);
    void CloseClient(ServerRecord& client, Severity severity) override REQUIRES(workerThread);
    bool AttemptPending(const ServerRecord& client) override REQUIRES(workerThread);
    void OutcomeNoted(const ServerRecord& client, ClientOutcome outcome,
                      std::optional<Clock::TimePoint> confirmDue) override REQUIRES(workerThread);
    void TargetFound(const ServerRecord& client, std::string_view path) override
        REQUIRES(workerThread);
    void TargetRewritten(const ServerRecord& client, std::string_view path) override
        REQUIRES(workerThread);
    void RoundStarted(bool recheck, std::optional<Clock::TimePoint> nextRecheck) override
        REQUIRES(workerThread);
    void RoundSettled(const std::string& address, std::size_t correct, std::size_t rewritten,
                      std::size_t failing, bool recheck) override REQUIRES(workerThread);
    void ConfirmationScheduled(ServerRecord& client, Clock::TimePoint due) override
        REQUIRES(workerThread);

    // Worker thread, once per socket pass: the watchdog ping and the status line, when due.
    void ReportPass() REQUIRES(workerThread);
    // Worker thread, once per socket pass: hands the status file to its writer when it is due.
    void OfferStatusFile(Clock::TimePoint now) REQUIRES(workerThread);

    // Fixed at construction; any thread reads them.
    const ServiceTimes times;
    const Clock& clock;
    // Set by RequestStop, StopWorker and a failing worker; polled by Run.
    std::atomic<bool> stopRequested{false};
    // Set by the worker when an exception left a task; the worker has then stopped.
    std::atomic<bool> workerFailed{false};
    // Tasks handed to Schedule that have neither run nor been discarded.
    std::atomic<int64_t> queuedTasks{0};
    // Of those, the ones posted to run at once; while any waits, a pass does not wait.
    std::atomic<int64_t> immediateTasks{0};
    // Of those, the delayed ones, by the time they fall due on `clock` (equal times in the order
    // they were scheduled). The socket passes run them, so moving the clock moves them.
    Mutex delayedMutex;
    std::multimap<Clock::TimePoint, std::function<void()>> delayedTasks GUARDED_BY(delayedMutex);
    // Set by AskForRecheck; the worker takes it at its next pass.
    std::atomic<bool> recheckRequested{false};
    boost::asio::io_service ioService;
    // Held so that a pass can always create its epoll set when connections have taken every
    // other descriptor; -1 while released. Worker thread only after construction.
    int spareDescriptor GUARDED_BY(workerThread) = -1;
    // Guards the containers `target` and `clients` (not the records in them) while Initialize
    // fills them on the main thread and the worker's passes already read them; the passes and
    // the status report hold it. Once Initialize has queued the target's first connection the
    // containers no longer change, and the work that connection leads to on the worker reads
    // them without it.
    Mutex recordsMutex;
    std::unique_ptr<CbData> target GUARDED_BY(recordsMutex);
    std::vector<std::unique_ptr<CbData>> clients GUARDED_BY(recordsMutex);
    // Worker thread, in the work the target's first connection leads to: the containers as
    // Initialize left them. It filled them before it queued that connection, and posting the
    // connection orders those writes before these reads; nothing changes the containers again
    // until the worker has stopped, so concurrent reads of them need no lock. A pass, which may
    // run while Initialize still fills them, takes the lock instead.
    const std::unique_ptr<CbData>& InstalledTarget() const NO_THREAD_SAFETY_ANALYSIS {
        return target;
    }
    const std::vector<std::unique_ptr<CbData>>& InstalledClients() const NO_THREAD_SAFETY_ANALYSIS {
        return clients;
    }
    // Worker thread only, but for the recheck period, which Initialize sets before it queues
    // the target's first connection.
    TargetWatch watch{*this};
    ClientRounds rounds{*this, watch, clock, times.verifyInterval, times.confirmDelay};
    // Worker thread only. The place in `clients` where a pass starts registering. It moves one
    // further when a full pass served only connections the pass before had served too, so that no
    // client is left behind others that are always ready.
    std::size_t passStart GUARDED_BY(workerThread) = 0;
    // The connections the last pass served, sorted.
    std::vector<void*> servedLastPass GUARDED_BY(workerThread);
    // The places of the clients whose connections may be open, in the list's order. A pass
    // registers these and forgets those it finds Closed, so with every client closed it looks at
    // none of them.
    std::set<std::size_t> openClients GUARDED_BY(workerThread);
    // Which records may have a progress deadline or a confirmation due, and when, so that a pass
    // looks only at those now due.
    DueIndex<Server> progressDue GUARDED_BY(workerThread){&Server::progressIndexedAt};
    DueIndex<Server> confirmationsDue GUARDED_BY(workerThread){&Server::confirmIndexedAt};
    // The operator's command for address changes and settled rounds: configured by Initialize
    // on the main thread before it queues the target's first connection, polled by every pass,
    // told by the worker, stopped on the main thread once the worker has stopped.
    OnChangeRunner onChange;
    // Any thread: the notifier only sends, and the report has a lock of its own.
    const SystemdNotifier notifier;
    StatusReport status{notifier.WatchdogInterval()};
    // The status file's data, with the contract of `onChange`: filled by Initialize on the main
    // thread, fed by the worker, read for the last time once the worker has stopped. Its writer
    // writes on a thread of its own.
    StatusFile statusFile;
    StatusFileWriter statusWriter;
    std::thread worker;
};

static_assert(std::atomic<bool>::is_always_lock_free,
              "the stop and recheck flags are set from signal handlers");

// The running service, for the stop signal handler. Set while the service object exists.
extern Vaultline* runningService;

// The SDK callback: forwards every event to the service that owns the record in `userData`.
int KxapiCallback(int event, long result, tagPayloadType* payload, unsigned long length,
                  void* userData);

}  // namespace vaultline
