// TCP keepalive on a server's connection, so a peer that vanished without a word ends as a lost
// connection instead of an idle one that is never noticed.
#pragma once

#include "connections/server_record.h"

namespace vaultline {

// Worker thread. Asks the SDK for the connection's socket and has the kernel probe it after 60 s
// of silence, every 10 s, and give it up once the peer has left a probe or sent data unanswered
// for 60 s (or 3 probes). The SDK then reports the connection lost. A descriptor that is not a TCP
// socket (none yet, or one the SDK waits on while it resolves a name) is passed over quietly; a
// refused option is one WARNING line. Never fails the connection. Call it after every successful
// open and again after the login, when the socket is surely the connection's own.
void EnableKeepalive(const ServerRecord& server);

}  // namespace vaultline
