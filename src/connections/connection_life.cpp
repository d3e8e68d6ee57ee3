// A connection's life beside its opening: the server's SDK instance, kept from one connection to
// the next, closing a connection, and the one end that every close, loss and stall shares.
#include "base/logging.h"
#include "service/vaultline.h"
#include "sync/sdk_instance.h"

namespace vaultline {

std::unique_ptr<Vaultline::CbData> Vaultline::InitServer(Server& server) {
    auto data = std::make_unique<CbData>(CbData{this, server});
    server.handle = NewSdkInstance(&KxapiCallback, data.get());
    if (!server.handle) {
        return nullptr;
    }
    data->server.handle = server.handle;
    return data;
}

void Vaultline::EndConnection(Server& server) {
    ++server.connection;
    server.state = ConnState::Closed;
    // A check made on this connection must not stop the next one's: an update sent here may never
    // have left.
    server.verifyStarted = false;
    server.awaiting = Awaiting::Nothing;
}

void Vaultline::CloseServer(Server& server, Severity severity) {
    BOOST_LOG_SEV(*logger, severity) << "closing connection to " << server.config;
    EndConnection(server);
    KXAPI_Close(server.handle.get());
}

void Vaultline::QueueClose(Server& server, Severity severity) {
    if (server.closeQueuedFor == server.connection) {
        return;
    }
    server.closeQueuedFor = server.connection;
    Schedule(
        [this, &server, connection = server.connection, severity] {
            AssertWorkerThread();
            if (server.connection == connection) {
                CloseServer(server, severity);
            }
        },
        false);
}

}  // namespace vaultline
