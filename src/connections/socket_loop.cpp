// The socket event loop: one epoll pass per trip through the queue, after the retries now due.
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
#include "service/vaultline.h"

namespace vaultline {

namespace {
constexpr int kMaxEventsPerPass = 32;
}  // namespace

void Vaultline::PollSockets() {
    // First, so that retries go on even when no epoll set can be made, and a connection a retry
    // opens is watched in this very pass.
    RunDueTasks(clock.Now());
    int epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0 && errno == EMFILE && spareDescriptor >= 0) {
        // Connections have taken every other descriptor; the spare keeps the open ones served.
        close(spareDescriptor);
        spareDescriptor = -1;
        epollFd = epoll_create1(EPOLL_CLOEXEC);
    }
    if (epollFd < 0) {
        // Nothing can be watched this pass, which says nothing about the connections.
        const int error = errno;
        BOOST_LOG_SEV(*logger, Severity::ERROR) << kEpollCreateFailed << ErrorSuffix(error);
        std::this_thread::sleep_for(times.passWait);
        TakeSpareDescriptor();
        ioService.post([this] {
            AssertWorkerThread();
            PollSockets();
        });
        return;
    }
    const Clock::TimePoint now = clock.Now();
    onChange.Poll(now);
    std::size_t clientCount = 0;
    {
        MutexLock lock(recordsMutex);
        if (rounds.RecheckDue(now, recheckRequested.exchange(false), watch.RecheckWanted())) {
            RequestRecheck();
        }
        RunDueChecks(now);
        RegisterSocket(epollFd, target.get());
        clientCount = clients.size();
        RegisterOpenClients(epollFd);
    }

    epoll_event events[kMaxEventsPerPass];
    // Work already queued runs right after this pass, so the pass only looks at what is ready;
    // a retry falling due sooner than the pass wait shortens the wait.
    const int timeoutMs = immediateTasks > 0 ? 0 : static_cast<int>(PassWait(clock.Now()).count());
    const int ready = epoll_wait(epollFd, events, kMaxEventsPerPass, timeoutMs);
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

    close(epollFd);
    TakeSpareDescriptor();
    ReportPass();
    OfferStatusFile(now);
    ioService.post([this] {
        AssertWorkerThread();
        PollSockets();
    });
}

void Vaultline::RegisterOpenClients(int epollFd) {
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
        RegisterSocket(epollFd, data);
        ++place;
    }
}

void Vaultline::RunDueChecks(Clock::TimePoint now) {
    // The visits run inside this call, on the worker.
    confirmationsDue.TakeDue(now, [&](Server& server) {
        AssertWorkerThread();
        const std::optional<Clock::TimePoint> due = server.check.ConfirmDue();
        if (due && now < *due) {
            confirmationsDue.Watch(server, *due);
            return;
        }
        rounds.ConfirmIfDue(RoundView(server), now);
    });
    progressDue.TakeDue(now, [&](Server& server) {
        AssertWorkerThread();
        // A connection that is not open has nothing to drop; its next open sets a deadline anew.
        if (server.link.state == ConnState::Closed || server.link.awaiting == Awaiting::Nothing) {
            return;
        }
        if (now < server.link.progressDeadline) {
            progressDue.Watch(server, server.link.progressDeadline);
            return;
        }
        DropIfStalled(server, now);
    });
}

void Vaultline::WatchSocket(const Server& server) {
    if (!server.config.isTarget) {
        openClients.insert(server.place);
    }
}

void Vaultline::TakeSpareDescriptor() {
    if (spareDescriptor < 0) {
        spareDescriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
}

void Vaultline::RegisterSocket(int epollFd, CbData* data) {
    if (data == nullptr || data->server.link.state == ConnState::Closed) {
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
        BOOST_LOG_SEV(*logger, Severity::ERROR) << kEpollAddFailed << ErrorSuffix(error);
    }
    // A connection whose socket has gone is noticed only here. Like a close, a loss ends the
    // connection's check, so the next connection checks again.
    EndConnection(server);
    ReportOutcome(server, ClientOutcome::Unreachable);
    BOOST_LOG_SEV(*logger, Severity::WARNING) << "connection to " << server.config << " lost";
    QueueReconnect(server, true);
}

}  // namespace vaultline
