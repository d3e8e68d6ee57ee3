// Reaching many servers at once through the SDK: open, login and each one's data, in one epoll
// loop, every server within its own time limit.
#include "check/connection_round.h"

#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "app/process_setup.h"
#include "base/logging.h"
#include "base/system_errors.h"
#include "sdk/kxapi.h"
#include "sync/login_rule.h"
#include "sync/sdk_instance.h"

namespace vaultline {

namespace {

using Clock = std::chrono::steady_clock;

// Descriptors kept back for the process itself: logging, name lookups, the epoll set.
constexpr std::size_t kReservedDescriptors = 64;
constexpr std::size_t kMaxEventsPerWait = 1024;
// Longest single wait, so deadlines are looked at even when nothing happens.
constexpr auto kLongestWait = std::chrono::milliseconds(1000);

enum class Phase { Waiting, Connecting, Done };

struct Attempt {
    const ServerConfig* server = nullptr;
    std::size_t index = 0;
    const OnServerData* onData = nullptr;
    std::shared_ptr<void> handle;
    Phase phase = Phase::Waiting;
    bool loggedIn = false;
    Reach reach;
    Clock::time_point deadline{};
};

void Finish(Attempt& attempt, const Reach& reach) {
    attempt.phase = Phase::Done;
    attempt.reach = reach;
}

// The SDK callback. It only records what happened: the connection is closed by the loop once
// the SDK's own call has returned.
int OnEvent(int event, long result, tagPayloadType*, unsigned long, void* userData) {
    Attempt& attempt = *static_cast<Attempt*>(userData);
    if (attempt.phase != Phase::Connecting) {
        return 0;
    }
    if (event == KXAPI_EVENT_LOGIN) {
        if (!LoginAccepted(result)) {
            Finish(attempt, Reach::Failed(ClientOutcome::LoginRefused));
        } else {
            attempt.loggedIn = true;
        }
    } else if (event == KXAPI_EVENT_DATA_READY && attempt.loggedIn) {
        (*attempt.onData)(attempt.index, attempt.handle.get());
        Finish(attempt, Reach::DataRead());
    }
    return 0;
}

void Start(Attempt& attempt, std::chrono::milliseconds timeout) {
    attempt.handle = NewSdkInstance(&OnEvent, &attempt);
    void* const handle = attempt.handle.get();
    if (handle == nullptr) {
        Finish(attempt, Reach::Failed(ClientOutcome::Unreachable));
        return;
    }
    attempt.phase = Phase::Connecting;
    attempt.deadline = Clock::now() + timeout;
    const ServerConfig& server = *attempt.server;
    // An SDK may look the name up here, in the caller, for as long as its resolver takes.
    const StopHandling endAtOnce(StopHandling::kEndProcess);
    if (KXAPI_Open(handle, server.address.c_str(), server.port) != 0 ||
        KXAPI_Login(handle, server.username.c_str(), server.password.c_str()) != 0) {
        Finish(attempt, Reach::Failed(ClientOutcome::Unreachable));
    }
}

// Ends a finished attempt's connection and frees its SDK instance.
void Release(Attempt& attempt) {
    if (attempt.handle) {
        KXAPI_Close(attempt.handle.get());
        attempt.handle.reset();
    }
}

// Adds the attempt's socket to the wait; an attempt whose socket has gone has lost its
// connection.
void Watch(int epollFd, Attempt& attempt) {
    void* const handle = attempt.handle.get();
    const int socketFd = KXAPI_GetSocket(handle);
    if (socketFd < 0) {
        Finish(attempt, Reach::Failed(ClientOutcome::Unreachable));
        return;
    }
    epoll_event event{};
    event.events = KXAPI_IsWriting(handle) != 0 ? EPOLLIN | EPOLLOUT : EPOLLIN;
    event.data.ptr = &attempt;
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, socketFd, &event) != 0) {
        const int error = errno;
        BOOST_LOG_SEV(*logger, Severity::ERROR) << kEpollAddFailed << ErrorSuffix(error);
        Finish(attempt, Reach::Failed(ClientOutcome::Unreachable));
    }
}

}  // namespace

std::vector<Reach> ReachServers(const std::vector<ServerConfig>& servers, const RoundLimits& limits,
                                const OnServerData& onData, const StopControl& stop) {
    // A stop is taken in the wait below, so that what was found so far is still reported.
    const StopHandling deferred(StopHandling::kDeferred);
    // Sized once: the SDK holds a pointer to each attempt.
    std::vector<Attempt> attempts(servers.size());
    for (std::size_t i = 0; i < servers.size(); ++i) {
        attempts[i].server = &servers[i];
        attempts[i].index = i;
        attempts[i].onData = &onData;
    }
    const std::size_t maxOpen = std::max<std::size_t>(limits.maxOpen, 1);
    std::vector<epoll_event> events(std::clamp<std::size_t>(servers.size(), 1, kMaxEventsPerWait));
    std::size_t next = 0;
    std::size_t open = 0;
    std::size_t done = 0;

    while (done < attempts.size()) {
        if (stop.flag != nullptr && *stop.flag != 0) {
            for (Attempt& attempt : attempts) {
                if (attempt.phase != Phase::Done) {
                    Finish(attempt, Reach::Interrupted());
                    Release(attempt);
                }
            }
            break;
        }
        while (next < attempts.size() && open < maxOpen) {
            Start(attempts[next], limits.timeout);
            ++next;
            ++open;
        }

        const int epollFd = epoll_create1(EPOLL_CLOEXEC);
        if (epollFd < 0) {
            const int error = errno;
            BOOST_LOG_SEV(*logger, Severity::ERROR) << kEpollCreateFailed << ErrorSuffix(error);
        }
        auto now = Clock::now();
        Clock::time_point wakeUp = now + kLongestWait;
        std::size_t watched = 0;
        for (std::size_t i = 0; i < next; ++i) {
            Attempt& attempt = attempts[i];
            if (attempt.phase == Phase::Connecting && now >= attempt.deadline) {
                Finish(attempt, Reach::Failed(ClientOutcome::Stalled));
            }
            if (attempt.phase == Phase::Connecting) {
                Watch(epollFd, attempt);
                ++watched;
                wakeUp = std::min(wakeUp, attempt.deadline);
            }
        }

        // Nothing is released while an epoll entry could still point at it.
        const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(wakeUp - now).count();
        const int ready =
            epollFd < 0 || watched == 0
                ? 0
                : epoll_pwait(epollFd, events.data(), static_cast<int>(events.size()),
                              static_cast<int>(std::max<long>(waitMs, 0)), stop.waitMask);
        for (int i = 0; i < ready; ++i) {
            Attempt& attempt = *static_cast<Attempt*>(events[i].data.ptr);
            const uint32_t mask = events[i].events;
            void* const handle = attempt.handle.get();
            // Errors and hang-ups are read too: the receive call is what notices a lost
            // connection, which the next pass then finds without a socket.
            if (attempt.phase == Phase::Connecting &&
                (mask & ~static_cast<uint32_t>(EPOLLOUT)) != 0) {
                KXAPI_Recv(handle);
            }
            if (attempt.phase == Phase::Connecting && (mask & EPOLLOUT) != 0) {
                KXAPI_Send(handle);
            }
        }
        if (epollFd >= 0) {
            close(epollFd);
        }

        for (std::size_t i = 0; i < next; ++i) {
            Attempt& attempt = attempts[i];
            if (attempt.phase == Phase::Done && attempt.handle) {
                Release(attempt);
            }
        }
        done = 0;
        open = 0;
        for (std::size_t i = 0; i < next; ++i) {
            if (attempts[i].phase == Phase::Done) {
                ++done;
            } else {
                ++open;
            }
        }
    }

    std::vector<Reach> reaches;
    reaches.reserve(attempts.size());
    for (const Attempt& attempt : attempts) {
        reaches.push_back(attempt.reach);
    }
    return reaches;
}

std::size_t MaxOpenConnections() {
    RaiseDescriptorLimit();
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 1;
    }
    if (limit.rlim_cur == RLIM_INFINITY) {
        return 65536;
    }
    return limit.rlim_cur > kReservedDescriptors + 1
               ? static_cast<std::size_t>(limit.rlim_cur - kReservedDescriptors)
               : 1;
}

}  // namespace vaultline
