// The service object: the worker thread, its pass and its task queue, and the wiring of the
// connection pool, the target watch and the client rounds to each other and to the status.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "base/clock.h"
#include "base/due_index.h"
#include "base/logging.h"
#include "base/mutex.h"
#include "configuration/configuration.h"
#include "connections/connection_pool.h"
#include "on_change/runner.h"
#include "service/status_file.h"
#include "service/status_file_writer.h"
#include "service/status_report.h"
#include "service/systemd_notify.h"
#include "sync/client_rounds.h"
#include "sync/target_watch.h"

namespace vaultline {

// The service's delays and timeouts. The defaults are the service's own; tests pass shorter ones.
struct ServiceTimes {
    // Every retry, of a connection or of a discovery, waits this long.
    std::chrono::milliseconds retryDelay{5000};
    // A client's archive target is checked at most once per connection within this interval.
    std::chrono::milliseconds verifyInterval{60000};
    // The longest wait before a rewrite is confirmed; the recheck period caps it.
    std::chrono::milliseconds confirmDelay{60000};
    // The connection pool's progress timeout, data set limit and pass wait (see ConnectionTimes).
    std::chrono::milliseconds progressTimeout{30000};
    std::chrono::milliseconds dataSetLimit{600000};
    std::chrono::milliseconds passWait{100};
};

// The service: owns the worker thread, the task queue and the components, and answers what the
// connection pool, the target watch and the client rounds tell it and ask of it, on the worker
// thread.
class Vaultline final : private TargetWatchListener,
                        private ClientRoundsListener,
                        private ConnectionListener {
public:
    // One remote server: the archive target or one archive client.
    using Server = ServerRecord;

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

private:
    friend class ServiceTestAccess;

    // Body of the worker thread: runs the task queue and the socket passes until stopped.
    void WorkerMain();

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

    // Worker thread. One pass of the worker: runs the delayed tasks now due, polls the on-change
    // command, starts a recheck and the confirmations now due, then has the pool drop the
    // connections now stalled and wait at most the pass wait (less when a delayed task falls due
    // sooner) for the sockets of the connections that are not Closed; reports, and posts the
    // next pass.
    void PollSockets() REQUIRES(workerThread);
    // Worker thread, in a pass: the confirmations that have fallen due start. Only the clients
    // whose entries have come up are looked at.
    void RunDueConfirmations(Clock::TimePoint now) REQUIRES(workerThread);

    // Worker thread. Hands how a client's check or connection attempt ended to the rounds; the
    // target's own outcomes are not counted.
    void ReportOutcome(Server& server, ClientOutcome outcome) REQUIRES(workerThread);
    // Worker thread. Asks the target watch for a recheck, telling it whether the target can be
    // asked at once.
    void RequestRecheck() REQUIRES(workerThread);
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

    // What the connection pool tells the service and asks of it.
    void ScheduleConnectionTask(const std::function<void()>& task, bool delayed) override;
    bool QuietLogin(const ServerRecord& server) override REQUIRES(workerThread);
    void DataReady(ServerRecord& server) override REQUIRES(workerThread);
    void CloseRequested(ServerRecord& server) override REQUIRES(workerThread);
    void ConnectionFailed(ServerRecord& server, ClientOutcome outcome) override
        REQUIRES(workerThread);
    void ConnectionEnded(ServerRecord& server) override REQUIRES(workerThread);

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
    // Every server's record and connection, and the socket pass. Records are installed by
    // Initialize on the main thread and released with the pool, once the worker has stopped.
    ConnectionPool pool{*this, clock,
                        ConnectionTimes{times.progressTimeout, times.dataSetLimit, times.passWait}};
    // Worker thread only, but for the recheck period, which Initialize sets before it queues
    // the target's first connection.
    TargetWatch watch{*this};
    ClientRounds rounds{*this, watch, clock, times.verifyInterval, times.confirmDelay};
    // Which clients may have a confirmation due, and when, so that a pass looks only at those
    // now due.
    static std::optional<Clock::TimePoint>& ConfirmMark(Server& server) {
        return server.confirmIndexedAt;
    }
    DueIndex<Server> confirmationsDue GUARDED_BY(workerThread){&Vaultline::ConfirmMark};
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

}  // namespace vaultline
