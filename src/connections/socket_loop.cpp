// The socket pass: the connections that are not Closed watched in one epoll set, and served
// fairly when some are always ready.
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <set>
#include <thread>
#include <vector>

#include "base/log_text.h"
#include "base/logging.h"
#include "base/system_errors.h"
#include "connections/connection_pool.h"

namespace vaultline {

namespace {
constexpr int kMaxEventsPerPass = 32;
}  // namespace

bool ConnectionPool::OpenPass() {
    passEpollFd = epoll_create1(EPOLL_CLOEXEC);
    if (passEpollFd < 0 && errno == EMFILE && spareDescriptor >= 0) {
        // Connections have taken every other descriptor; the spare keeps the open ones served.
        close(spareDescriptor);
        spareDescriptor = -1;
        passEpollFd = epoll_create1(EPOLL_CLOEXEC);
    }
    if (passEpollFd >= 0) {
        return true;
    }
    // Nothing can be watched this pass, which says nothing about the connections.
    const int error = errno;
    BOOST_LOG_SEV(*logger, Severity::ERROR) << kEpollCreateFailed << ErrorSuffix(error);
    std::this_thread::sleep_for(times.passWait);
    TakeSpareDescriptor();
    return false;
}

void ConnectionPool::ServePass(Clock::TimePoint now,
                               const std::function<std::chrono::milliseconds()>& wait) {
    DropStalled(now);
    std::size_t clientCount = 0;
    {
        MutexLock lock(recordsMutex);
        RegisterSocket(target.get());
        clientCount = clients.size();
        RegisterOpenClients();
    }

    epoll_event events[kMaxEventsPerPass];
    const int ready =
        epoll_wait(passEpollFd, events, kMaxEventsPerPass, static_cast<int>(wait().count()));
    if (ready < 0) {
        const int error = errno;
        BOOST_LOG_SEV(*logger, Severity::ERROR) << kEpollWaitFailed << ErrorSuffix(error);
    }
    // Connections that took every event of this pass and of the one before may go on doing so
    // for ever, and would keep the clients after them unserved: the next pass starts one place
    // further round. Moving only then keeps a round's wave of connections in the list's order.
    bool onlyServedAgain = ready == kMaxEventsPerPass;
    std::array<void*, kMaxEventsPerPass> served{};
    for (int i = 0; i < ready; ++i) {
        void* const handle = events[i].data.ptr;
        onlyServedAgain = onlyServedAgain &&
                          std::binary_search(servedLastPass.begin(), servedLastPass.end(), handle);
        served[i] = handle;
        const uint32_t mask = events[i].events;
        // Receive, send and the exceptional report each happen whatever the one before did.
        if ((mask & EPOLLIN) != 0 && KXAPI_Recv(handle) != 0) {
            BOOST_LOG_SEV(*logger, Severity::ERROR) << "receive failed on hkx " << handle;
        }
        if ((mask & EPOLLOUT) != 0 && KXAPI_Send(handle) != 0) {
            BOOST_LOG_SEV(*logger, Severity::ERROR) << "send failed on hkx " << handle;
        }
        const uint32_t rest = mask & ~static_cast<uint32_t>(EPOLLIN | EPOLLOUT);
        if (rest != 0) {
            BOOST_LOG_SEV(*logger, Severity::ERROR)
                << "exceptional condition on hkx " << handle << ": " << rest;
        }
    }
    const auto servedEnd = served.begin() + std::max(ready, 0);
    std::sort(served.begin(), servedEnd);
    servedLastPass.assign(served.begin(), servedEnd);
    if (onlyServedAgain && clientCount > 0) {
        passStart = (passStart + 1) % clientCount;
    }

    close(passEpollFd);
    passEpollFd = -1;
    TakeSpareDescriptor();
}

void ConnectionPool::RegisterOpenClients() {
    // From `passStart` round the list, whose order a round then keeps: its first clients finish
    // first and their connections close early.
    bool wrapped = false;
    auto place = openClients.lower_bound(passStart);
    while (true) {
        if (place == openClients.end()) {
            if (wrapped) {
                break;
            }
            wrapped = true;
            place = openClients.begin();
            continue;
        }
        if (wrapped && *place >= passStart) {
            break;
        }
        CbData* const data = clients[*place].get();
        if (data->server.link.state == ConnState::Closed) {
            place = openClients.erase(place);
            continue;
        }
        RegisterSocket(data);
        ++place;
    }
}

void ConnectionPool::WatchSocket(const ServerRecord& server) {
    if (!server.config.isTarget) {
        openClients.insert(server.place);
    }
}

void ConnectionPool::TakeSpareDescriptor() {
    if (spareDescriptor < 0) {
        spareDescriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
}

void ConnectionPool::RegisterSocket(CbData* data) {
    if (data == nullptr || data->server.link.state == ConnState::Closed) {
        return;
    }
    ServerRecord& server = data->server;
    void* const handle = server.handle.get();
    const int socketFd = KXAPI_GetSocket(handle);
    if (socketFd >= 0) {
        epoll_event event{};
        event.events = KXAPI_IsWriting(handle) != 0 ? EPOLLIN | EPOLLOUT : EPOLLIN;
        event.data.ptr = handle;
        if (epoll_ctl(passEpollFd, EPOLL_CTL_ADD, socketFd, &event) == 0) {
            return;
        }
        const int error = errno;
        BOOST_LOG_SEV(*logger, Severity::ERROR) << kEpollAddFailed << ErrorSuffix(error);
    }
    // A connection whose socket has gone is noticed only here. Like a close, a loss ends the
    // connection's check, so the next connection checks again.
    EndConnection(server);
    listener.ConnectionFailed(server, ClientOutcome::Unreachable);
    BOOST_LOG_SEV(*logger, Severity::WARNING) << "connection to " << server.config << " lost";
    QueueReconnect(server, true);
}

}  // namespace vaultline
