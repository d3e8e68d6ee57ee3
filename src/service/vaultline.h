// The service object: the server records, the worker thread and its task queue.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "sdk/kxapi.h"
#include "service/pending_slot.h"

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
        // Worker thread only, like everything below. Names the current connection: it moves on
        // at every open, close and loss, so a task queued for an earlier connection does nothing.
        uint64_t connection = 0;
        // The connection a close is already queued for, so a flood of close requests queues one.
        std::optional<uint64_t> closeQueuedFor;
        // The one connection attempt that may be pending.
        PendingSlot attempt;
        // The target's one pending discovery.
        PendingSlot discovery;
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

    // Main thread. Stops and joins the worker; the destructor does it too. After it returns no
    // task or callback runs any more, and `workerFailed` is final.
    void StopWorker();

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
    // Worker thread. Queues a close of the server's current connection, unless one is queued
    // already; it does nothing once that connection has been closed, lost or replaced.
    void QueueClose(Server& server);

    // Worker thread. Runs discovery on the target at once, or after the retry delay, unless a
    // run is already pending; an immediate request replaces a pending delayed one.
    void QueueDiscovery(Server& server, bool delayed);

    // Any thread. Runs `task` on the worker thread after the work already queued, or 5 seconds
    // from now when `delayed`. A task still waiting when the service is destroyed never runs.
    void Schedule(const std::function<void()>& task, bool delayed);

    // Any thread. Queues an open and login of `server`, at once or after 5 seconds. `server`
    // must belong to a record the service owns. Only one attempt is ever pending per server: an
    // immediate request replaces a pending delayed attempt, any other request adds nothing.
    void QueueReconnect(Server& server, bool delayed);

    // Worker thread. One pass of the socket loop: waits at most 100 ms for the sockets of the
    // connections that are not Closed, lets the SDK read and write, and posts the next pass.
    void PollSockets();
    // Adds one connection to the pass's epoll set, or declares it lost and reconnects it.
    void RegisterSocket(int epollFd, CbData* data);
    // Worker thread. Holds the spare descriptor again if it was released.
    void TakeSpareDescriptor();

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

    // Set by the stop signal handler, the destructor and a failing worker; polled by Run.
    std::atomic<bool> stopRequested;
    // Set when an exception left a task; the worker has then stopped.
    std::atomic<bool> workerFailed{false};
    // Tasks handed to Schedule that have neither run nor been discarded.
    std::atomic<int64_t> queuedTasks{0};
    // The delay of every retry. Set before Initialize; tests shorten it.
    std::chrono::milliseconds retryDelay{5000};
    boost::asio::io_service ioService;
    // Held so that a pass can always create its epoll set when connections have taken every
    // other descriptor; -1 while released. Worker thread only after construction.
    int spareDescriptor = -1;
    // `target` and `clients` are installed on the main thread while the worker's passes already
    // read them; both sides hold this while touching the containers themselves.
    std::mutex recordsMutex;
    std::unique_ptr<CbData> target;
    // The target's address as last discovered; empty until then. Worker thread only.
    std::string targetAddress;
    std::vector<std::unique_ptr<CbData>> clients;
    std::thread worker;
};

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

// The running service, for the stop signal handler. Set while the service object exists.
extern Vaultline* runningService;

// The SDK callback: forwards every event to the service that owns the record in `userData`.
int KxapiCallback(int event, long result, tagPayloadType* payload, unsigned long length,
                  void* userData);
