// Connecting to a server and logging in, retried after the retry delay after any failure.
#include "base/log_text.h"
#include "base/logging.h"
#include "connections/connection_pool.h"
#include "connections/keepalive.h"

namespace vaultline {

void ConnectionPool::QueueReconnect(ServerRecord& server, bool delayed, Severity severity) {
    const auto token = server.link.attempt.Claim(delayed);
    if (!token) {
        return;
    }
    BOOST_LOG_SEV(*logger, severity) << "connecting to server " << server.config;
    listener.ScheduleConnectionTask(
        [this, &server, token = *token] {
            AssertWorkerThread();
            // A replaced delayed attempt: the immediate one that replaced it has run already.
            if (!server.link.attempt.Take(token)) {
                return;
            }
            // Whatever the handle was connected to goes with this open.
            EndConnection(server);
            AwaitProgress(server, Awaiting::LoginAnswer, clock.Now() + times.progressTimeout);
            if (KXAPI_Open(server.handle.get(), server.config.address.c_str(),
                           server.config.port) != 0) {
                BOOST_LOG_SEV(*logger, Severity::ERROR) << "open failed, retrying";
                listener.ConnectionFailed(server, ClientOutcome::Unreachable);
                QueueReconnect(server, true);
                return;
            }
            server.link.state = ConnState::Open;
            WatchSocket(server);
            EnableKeepalive(server);
            // The outcome of an accepted request arrives later as the login event.
            if (KXAPI_Login(server.handle.get(), server.config.username.c_str(),
                            server.config.password.c_str()) != 0) {
                BOOST_LOG_SEV(*logger, Severity::ERROR) << "login failed, retrying";
                server.link.awaiting = Awaiting::Nothing;
                listener.ConnectionFailed(server, ClientOutcome::LoginRefused);
                QueueReconnect(server, true);
            }
        },
        delayed);
}

}  // namespace vaultline
