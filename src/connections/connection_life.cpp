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
    ++server.link.connection;
    server.link.state = ConnState::Closed;
    server.check.ConnectionEnded();
    server.link.awaiting = Awaiting::Nothing;
}

void Vaultline::CloseServer(Server& server, Severity severity) {
    BOOST_LOG_SEV(*logger, severity) << "closing connection to " << server.config;
    EndConnection(server);
    KXAPI_Close(server.handle.get());
}

void Vaultline::QueueClose(Server& server, Severity severity) {
    if (server.link.closeQueuedFor == server.link.connection) {
        return;
    }
    server.link.closeQueuedFor = server.link.connection;
    Schedule(
        [this, &server, connection = server.link.connection, severity] {
            AssertWorkerThread();
            if (server.link.connection == connection) {
                CloseServer(server, severity);
            }
        },
        false);
}

}  // namespace vaultline
