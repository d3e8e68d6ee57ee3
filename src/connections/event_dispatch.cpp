// What the SDK's events do: login outcomes, data ready on the target or a client, close requests.
#include "app/log_text.h"
#include "app/logging.h"
#include "connections/keepalive.h"
#include "service/vaultline.h"

int Vaultline::KxapiHandler(int event, long result, tagPayloadType*, unsigned long, CbData& data) {
    Server& server = data.server;
    switch (event) {
        case KXAPI_EVENT_LOGIN:
            if ((result & 0xff) != 0) {
                ReportOutcome(server, ClientOutcome::LoginRefused);
                QueueReconnect(server, true);
                break;
            }
            BOOST_LOG_SEV(*logger, INFO)
                << "successful login to " << LogText(server.address) << ":" << server.port;
            server.state = ConnState::LoggedIn;
            // The socket at the open may have stood in for a name still being resolved.
            EnableKeepalive(server);
            break;
        case KXAPI_EVENT_DATA_READY:
            if (server.isTarget) {
                // Discovery makes SDK calls of its own, so it runs after this callback returns.
                QueueDiscovery(server, false);
            } else {
                VerifyClientTarget(server);
            }
            break;
        case KXAPI_EVENT_CLOSE_REQUEST:
            if (!server.isTarget) {
                // Closing inside the SDK's own call would pull the connection from under it.
                QueueClose(server);
            }
            break;
        default:
            break;
    }
    return 0;
}
