// The socket event loop: one epoll pass of at most 100 ms per trip through the worker's queue.
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/logging.h"
#include "service/vaultline.h"

namespace {
constexpr int kMaxEventsPerPass = 32;
constexpr int kPassTimeoutMs = 100;
}  // namespace

void Vaultline::PollSockets() {
    int epollFd = -1;
    {
        std::lock_guard<std::mutex> lock(recordsMutex);
        epollFd = epoll_create(static_cast<int>(clients.size()) + 1);
        RegisterSocket(epollFd, target.get());
        for (const auto& client : clients) {
            RegisterSocket(epollFd, client.get());
        }
    }

    epoll_event events[kMaxEventsPerPass];
    const int ready = epoll_wait(epollFd, events, kMaxEventsPerPass, kPassTimeoutMs);
    if (ready < 0) {
        const int error = errno;
        BOOST_LOG_SEV(*logger, ERROR)
            << "epoll_wait failed; error " << error << ": " << std::strerror(error);
    }
    for (int i = 0; i < ready; ++i) {
        void* const handle = events[i].data.ptr;
        const uint32_t mask = events[i].events;
        // Receive, send and the exceptional report each happen whatever the one before did.
        if ((mask & EPOLLIN) != 0 && KXAPI_Recv(handle) != 0) {
            BOOST_LOG_SEV(*logger, ERROR) << "receive failed on hkx " << handle;
        }
        if ((mask & EPOLLOUT) != 0 && KXAPI_Send(handle) != 0) {
            BOOST_LOG_SEV(*logger, ERROR) << "send failed on hkx " << handle;
        }
        const uint32_t rest = mask & ~static_cast<uint32_t>(EPOLLIN | EPOLLOUT);
        if (rest != 0) {
            BOOST_LOG_SEV(*logger, ERROR)
                << "exceptional condition on hkx " << handle << ": " << rest;
        }
    }

    if (epollFd >= 0) {
        close(epollFd);
    }
    ReportPass();
    ioService.post([this] { PollSockets(); });
}

void Vaultline::RegisterSocket(int epollFd, CbData* data) {
    if (data == nullptr || data->server.state == ConnState::Closed) {
        return;
    }
    Server& server = data->server;
    void* const handle = server.handle.get();
    const int socketFd = KXAPI_GetSocket(handle);
    if (socketFd >= 0) {
        epoll_event event{};
        event.events = KXAPI_IsWriting(handle) != 0 ? EPOLLIN | EPOLLOUT : EPOLLIN;
        event.data.ptr = handle;
        if (epoll_ctl(epollFd, EPOLL_CTL_ADD, socketFd, &event) == 0) {
            return;
        }
        const int error = errno;
        BOOST_LOG_SEV(*logger, ERROR)
            << "epoll_ctl (add) failed; error " << error << ": " << std::strerror(error);
    }
    // A connection whose socket has gone is noticed only here.
    server.state = ConnState::Closed;
    ReportOutcome(server, ClientOutcome::Unreachable);
    BOOST_LOG_SEV(*logger, WARNING)
        << "connection to " << server.address << ":" << server.port << " lost";
    QueueReconnect(server, true);
}
