// The socket event loop: one epoll pass per trip through the queue, after the retries now due.
#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

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
    {
        MutexLock lock(recordsMutex);
        if (rounds.RecheckDue(now, recheckRequested.exchange(false), watch.RecheckWanted())) {
            RequestRecheck();
        }
        if (target && target->server.link.state != ConnState::Closed) {
            DropIfStalled(target->server, now);
        }
        RegisterSocket(epollFd, target.get());
        // The target first, then the clients from one place further round the list than the
        // last pass: only the first 32 ready connections are served, so a fixed start would
        // leave the clients after 32 that are always ready unserved for ever. Moving on by one
        // keeps the list's order otherwise, so a round still finishes its first clients first
        // and closes their connections early.
        const std::size_t count = clients.size();
        passStart = count == 0 ? 0 : (passStart + 1) % count;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t index = (passStart + i) % count;
            Server& server = clients[index]->server;
            rounds.ConfirmIfDue(RoundView(server), now);
            if (server.link.state != ConnState::Closed) {
                DropIfStalled(server, now);
            }
            RegisterSocket(epollFd, clients[index].get());
        }
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
    for (int i = 0; i < ready; ++i) {
        void* const handle = events[i].data.ptr;
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

    close(epollFd);
    TakeSpareDescriptor();
    ReportPass();
    OfferStatusFile(now);
    ioService.post([this] {
        AssertWorkerThread();
        PollSockets();
    });
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
