// What the SDK's events do: login outcomes, data arriving and ready on the target or a client,
// close requests; and the callback that brings them to the service.
#include <algorithm>

#include "base/log_text.h"
#include "base/logging.h"
#include "connections/keepalive.h"
#include "service/vaultline.h"
#include "sync/login_rule.h"

namespace vaultline {

int Vaultline::KxapiHandler(int event, long result, tagPayloadType*, unsigned long, CbData& data) {
    Server& server = data.server;
    switch (event) {
        case KXAPI_EVENT_LOGIN: {
            if (!LoginAccepted(result)) {
                server.link.awaiting = Awaiting::Nothing;
                ReportOutcome(server, ClientOutcome::LoginRefused);
                QueueReconnect(server, true);
                break;
            }
            // A recheck of a client is quiet until it finds something to change or to fail at.
            BOOST_LOG_SEV(*logger, server.check.QuietLogin() ? Severity::DEBUG : Severity::INFO)
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
            // A client's check reaches its outcome inside this call.
            server.link.awaiting = Awaiting::Nothing;
            if (server.config.isTarget) {
                // Discovery makes SDK calls of its own, so it runs after this callback returns.
                watch.QueueDiscovery(server.handle.get(), false);
            } else {
                rounds.VerifyClientTarget(RoundView(server));
            }
            break;
        case KXAPI_EVENT_CLOSE_REQUEST:
            if (!server.config.isTarget) {
                // Closing inside the SDK's own call would pull the connection from under it.
                QueueClose(server);
                // A client that ends the connection before its check is tried again.
                if (server.check.CheckOwed()) {
                    ReportOutcome(server, ClientOutcome::Stalled);
                    QueueReconnect(server, true);
                }
            }
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
    auto& data = *static_cast<Vaultline::CbData*>(userData);
    data.service->KxapiHandler(event, result, payload, length, data);
    return 0;
}

}  // namespace vaultline
