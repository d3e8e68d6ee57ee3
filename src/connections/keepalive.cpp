// TCP keepalive and the user timeout on a server connection's socket.
#include "connections/keepalive.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "base/log_text.h"
#include "base/logging.h"
#include "sdk/kxapi.h"

namespace vaultline {

namespace {

struct SocketOption {
    int level;
    int name;
    int value;
    const char* label;
};

// An idle connection is probed after 60 s of silence, then every 10 s. The user timeout makes
// Linux give up once the peer has been silent for 60 s with a probe or data unanswered, so a dead
// idle connection ends about 70 s after its last traffic; 3 unanswered probes (90 s) bound it
// where the user timeout is not honoured.
constexpr SocketOption kOptions[] = {
    {SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE"},
    {IPPROTO_TCP, TCP_KEEPIDLE, 60, "TCP_KEEPIDLE"},
    {IPPROTO_TCP, TCP_KEEPINTVL, 10, "TCP_KEEPINTVL"},
    {IPPROTO_TCP, TCP_KEEPCNT, 3, "TCP_KEEPCNT"},
    {IPPROTO_TCP, TCP_USER_TIMEOUT, 60 * 1000, "TCP_USER_TIMEOUT"},
};

}  // namespace

void EnableKeepalive(const ServerRecord& server) {
    const int fd = KXAPI_GetSocket(server.handle.get());
    int protocol = 0;
    socklen_t length = sizeof protocol;
    if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) != 0 ||
        protocol != IPPROTO_TCP) {
        return;
    }
    for (const SocketOption& option : kOptions) {
        if (setsockopt(fd, option.level, option.name, &option.value, sizeof option.value) != 0) {
            const int error = errno;
            BOOST_LOG_SEV(*logger, Severity::WARNING)
                << "cannot enable keepalive on connection to " << server.config << ": "
                << option.label << ": " << std::strerror(error);
            return;
        }
    }
}

}  // namespace vaultline
