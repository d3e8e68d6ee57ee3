// The service object's life: the worker thread, SDK instances, closing connections, the callback.
#include "service/vaultline.h"

#include "app/logging.h"

Vaultline* runningService = nullptr;

Vaultline::Vaultline() : stopRequested(false) {
    worker = std::thread(&Vaultline::WorkerMain, this);
    runningService = this;
}

Vaultline::~Vaultline() {
    stopRequested = true;
    runningService = nullptr;
    ioService.stop();
    if (worker.joinable()) {
        worker.join();
    }
}

void Vaultline::WorkerMain() {
    ioService.post([this] { PollSockets(); });
    boost::asio::io_service::work keepRunning(ioService);
    ioService.run();
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
    BOOST_LOG_SEV(*logger, INFO) << "closing connection to " << server.address << ":"
                                 << server.port;
    server.state = ConnState::Closed;
    server.verifyStarted = false;
    KXAPI_Close(server.handle.get());
}

int KxapiCallback(int event, long result, tagPayloadType* payload, unsigned long length,
                  void* userData) {
    auto& data = *static_cast<Vaultline::CbData*>(userData);
    data.service->KxapiHandler(event, result, payload, length, data);
    return 0;
}
