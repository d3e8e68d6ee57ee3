// The service object: the server records, the worker thread and its task queue.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "app/systemd_notify.h"
#include "sdk/kxapi.h"
#include "service/status_report.h"

enum class ConnState : int32_t { Closed, Open, LoggedIn };

class Vaultline {
public:
    // One remote server: the archive target or one archive client.
    struct Server {
        std::string address;
        std::string username;
        std::string password;
        uint16_t port = 0;
        bool isTarget = false;
        // At most one check of a client's archive target per connection and minute.
        bool verifyStarted = false;
        std::chrono::steady_clock::time_point verifyDeadline{};
        // Released with KXAPI_Cleanup; closing a connection keeps it for the next attempt.
        std::shared_ptr<void> handle;
        ConnState state = ConnState::Closed;
    };

    // What the SDK hands back to the callback. Never moves once created, so tasks and
    // callbacks refer to it by plain pointer.
    struct CbData {
        Vaultline* service;
        Server server;
    };

    // Starts the worker thread; the last step publishes the object as `runningService`.
    Vaultline();
    // Stops and joins the worker before any record is freed, so no callback or task can reach a
    // freed record. Clients are released first, the target last.
    ~Vaultline();
    Vaultline(const Vaultline&) = delete;
    Vaultline& operator=(const Vaultline&) = delete;

    // Main thread. Returns when start-up fails or once a stop has been requested.
    void Run();

    // Main thread. Reads "vaultline.conf" from the working directory, builds the records and
    // queues the target's first connection. False after a failure it has already logged.
    bool Initialize();

    // Body of the worker thread: runs the task queue and the socket passes until stopped.
    void WorkerMain();

    // Creates the server's SDK instance (stored in `server.handle`) and its callback record.
    // Null when the SDK cannot create an instance.
    std::unique_ptr<CbData> InitServer(Server& server);

    // Worker thread. Ends the server's connection, keeping its SDK instance.
    void CloseServer(Server& server);

    // Any thread. Runs `task` on the worker thread after the work already queued, or 5 seconds
    // from now when `delayed`. A task still waiting when the service is destroyed never runs.
    void Schedule(const std::function<void()>& task, bool delayed);

    // Any thread. Queues an open and login of `server`, at once or after 5 seconds. `server`
    // must belong to a record the service owns.
    void QueueReconnect(Server& server, bool delayed);

    // Worker thread. One pass of the socket loop: waits at most 100 ms for the sockets of the
    // connections that are not Closed, lets the SDK read and write, and posts the next pass.
    void PollSockets();
    // Adds one connection to the pass's epoll set, or declares it lost and reconnects it.
    void RegisterSocket(int epollFd, CbData* data);

    // Worker thread, from inside an SDK call: login outcomes, data ready, close requests.
    int KxapiHandler(int event, long result, tagPayloadType* payload, unsigned long length,
                     CbData& data);

    // Worker thread. The IP text of the connected adapter to use (DHCP preferred), or "" after a
    // logged failure.
    std::string GetAdapterAddress(void* handle);
    // Worker thread. Learns the target's address and queues every client when it is new or has
    // changed; retries every 5 seconds while there is none.
    void DoGetAddress(Server& server);
    // Worker thread, inside the client's event handling. Checks the client's enabled archive
    // target against `targetAddress` and rewrites a stale host.
    void VerifyClientTarget(Server& server);

    // Worker thread. Notes how a client's check or connection attempt ended, for the status
    // line; the target's own outcomes are not counted.
    void ReportOutcome(const Server& server, ClientOutcome outcome);
    // Worker thread, once per socket pass: the watchdog ping and the status line, when due.
    void ReportPass();

    // Set by the stop signal handler and the destructor; polled by Run.
    std::atomic<bool> stopRequested;
    boost::asio::io_service ioService;
    // `target` and `clients` are installed on the main thread while the worker's passes already
    // read them; both sides hold this while touching the containers themselves.
    std::mutex recordsMutex;
    std::unique_ptr<CbData> target;
    // The target's address as last discovered; empty until then. Worker thread only.
    std::string targetAddress;
    std::vector<std::unique_ptr<CbData>> clients;
    const SystemdNotifier notifier;
    StatusReport status{notifier.WatchdogInterval()};
    std::thread worker;
};

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

// The running service, for the stop signal handler. Set while the service object exists.
extern Vaultline* runningService;

// The SDK callback: forwards every event to the service that owns the record in `userData`.
int KxapiCallback(int event, long result, tagPayloadType* payload, unsigned long length,
                  void* userData);
