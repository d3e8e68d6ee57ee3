// The service object's life: the worker thread, SDK instances, closing connections, the callback.
#include "service/vaultline.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <exception>

#include <boost/asio/steady_timer.hpp>

#include "app/log_text.h"
#include "app/logging.h"

Vaultline* runningService = nullptr;

Vaultline::Vaultline() : stopRequested(false) {
    // Asio creates its reactor (three descriptors) with the first timer. Creating it now means
    // a retry scheduled when connections have taken every descriptor needs none.
    { boost::asio::steady_timer reactorStarter(ioService); }
    spareDescriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
    // The worker never takes the recheck signal, so it cannot break a pass's wait; the thread
    // inherits the mask in place while it is created.
    sigset_t recheckSignal;
    sigemptyset(&recheckSignal);
    sigaddset(&recheckSignal, SIGUSR1);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &recheckSignal, &previousMask);
    worker = std::thread(&Vaultline::WorkerMain, this);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    runningService = this;
}

Vaultline::~Vaultline() {
    StopWorker();
    if (spareDescriptor >= 0) {
        close(spareDescriptor);
    }
}

void Vaultline::StopWorker() {
    stopRequested = true;
    runningService = nullptr;
    ioService.stop();
    if (worker.joinable()) {
        worker.join();
    }
    onChange.Stop();
}

void Vaultline::WorkerMain() {
    ioService.post([this] { PollSockets(); });
    boost::asio::io_service::work keepRunning(ioService);
    // Failures are handled where they happen; anything that still escapes a task stops the
    // service in order with a failure status, for a supervisor to restart it.
    try {
        ioService.run();
    } catch (const std::exception& error) {
        BOOST_LOG_SEV(*logger, FATAL) << "worker stopped by an unexpected error: " << error.what();
        workerFailed = true;
        stopRequested = true;
    } catch (...) {
        BOOST_LOG_SEV(*logger, FATAL) << "worker stopped by an unexpected error";
        workerFailed = true;
        stopRequested = true;
    }
}

std::unique_ptr<Vaultline::CbData> Vaultline::InitServer(Server& server) {
    void* const handle = KXAPI_Init();
    // Owns the handle even when it is null, so KXAPI_Cleanup sees every Init result once; should
    // building the shared handle fail, the deleter runs on it before the exception leaves.
    server.handle = std::shared_ptr<void>(handle, &KXAPI_Cleanup);
    if (handle == nullptr) {
        BOOST_LOG_SEV(*logger, ERROR) << "kxAPI initialization failed";
        return nullptr;
    }
    KXAPI_SetNonBlocking(handle, 1);
    auto data = std::make_unique<CbData>(CbData{this, server});
    KXAPI_SetCallbackEx(handle, &KxapiCallback, data.get());
    return data;
}

void Vaultline::CloseServer(Server& server) {
    BOOST_LOG_SEV(*logger, INFO) << "closing connection to " << LogText(server.address) << ":"
                                 << server.port;
    EndConnection(server);
    KXAPI_Close(server.handle.get());
}

void Vaultline::EndConnection(Server& server) {
    ++server.connection;
    server.state = ConnState::Closed;
    server.verifyStarted = false;
}

void Vaultline::QueueClose(Server& server) {
    if (server.closeQueuedFor == server.connection) {
        return;
    }
    server.closeQueuedFor = server.connection;
    Schedule(
        [this, &server, connection = server.connection] {
            if (server.connection == connection) {
                CloseServer(server);
            }
        },
        false);
}

int KxapiCallback(int event, long result, tagPayloadType* payload, unsigned long length,
                  void* userData) {
    auto& data = *static_cast<Vaultline::CbData*>(userData);
    data.service->KxapiHandler(event, result, payload, length, data);
    return 0;
}
