// What the SDK's events do to a connection: login outcomes, data arriving and ready, close
// requests; and the callback that brings them to the pool.
#include <algorithm>

#include "base/log_text.h"
#include "base/logging.h"
#include "connections/connection_pool.h"
#include "connections/keepalive.h"
#include "sync/login_rule.h"

namespace vaultline {

int ConnectionPool::KxapiHandler(int event, long result, tagPayloadType*, unsigned long,
                                 CbData& data) {
    ServerRecord& server = data.server;
    switch (event) {
        case KXAPI_EVENT_LOGIN: {
            if (!LoginAccepted(result)) {
                server.link.awaiting = Awaiting::Nothing;
                listener.ConnectionFailed(server, ClientOutcome::LoginRefused);
                QueueReconnect(server, true);
                break;
            }
            // A recheck of a client is quiet until it finds something to change or to fail at.
            BOOST_LOG_SEV(*logger, listener.QuietLogin(server) ? Severity::DEBUG : Severity::INFO)
                << "successful login to " << server.config;
            server.link.state = ConnState::LoggedIn;
            WatchSocket(server);
            // The socket at the open may have stood in for a name still being resolved.
            EnableKeepalive(server);
            const Clock::TimePoint now = clock.Now();
            server.link.dataSetDeadline = now + times.dataSetLimit;
            AwaitProgress(server, Awaiting::Data,
                          std::min(now + times.progressTimeout, server.link.dataSetDeadline));
            break;
        }
        case KXAPI_EVENT_DATA_PROGRESS:
            // A large data set on a slow link keeps its connection while its pieces keep coming.
            if (server.link.awaiting == Awaiting::Data) {
                AwaitProgress(
                    server, Awaiting::Data,
                    std::min(clock.Now() + times.progressTimeout, server.link.dataSetDeadline));
            }
            break;
        case KXAPI_EVENT_DATA_READY:
            server.link.awaiting = Awaiting::Nothing;
            listener.DataReady(server);
            break;
        case KXAPI_EVENT_CLOSE_REQUEST:
            listener.CloseRequested(server);
            break;
        default:
            break;
    }
    return 0;
}

int KxapiCallback(int event, long result, tagPayloadType* payload, unsigned long length,
                  void* userData) {
    // The SDK calls back only from inside the calls the worker makes.
    AssertWorkerThread();
    auto& data = *static_cast<CbData*>(userData);
    data.pool->KxapiHandler(event, result, payload, length, data);
    return 0;
}

}  // namespace vaultline
