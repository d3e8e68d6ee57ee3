// Floor and sequential drivers: log in to each client, rewrite the host of every enabled path
// that names another address, and close once the client asks to.
#include "sdk_drivers.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <stdexcept>

#include "sdk/kxapi.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

struct ClientRun {
    void* handle = nullptr;
    bool loginFailed = false;
    bool dataReady = false;
    bool closeRequested = false;
    bool updatesSent = false;
    bool done = false;
    bool updated = false;
    bool failed = false;
};

int RecordClientEvent(int event, long result, tagPayloadType*, unsigned long, void* user) {
    auto* run = static_cast<ClientRun*>(user);
    if (event == KXAPI_EVENT_LOGIN && result != 0) {
        run->loginFailed = true;
    } else if (event == KXAPI_EVENT_DATA_READY) {
        run->dataReady = true;
    } else if (event == KXAPI_EVENT_CLOSE_REQUEST) {
        run->closeRequested = true;
    }
    return 0;
}

// "\\host\share" with the host replaced; empty when the path has no host part to replace or
// already names `address`.
std::string Repointed(const std::string& path, const std::string& address) {
    if (path.size() < 3 || path[0] != '\\' || path[1] != '\\') {
        return {};
    }
    const auto shareStart = path.find('\\', 2);
    if (shareStart == std::string::npos || path.compare(2, shareStart - 2, address) == 0) {
        return {};
    }
    return "\\\\" + address + path.substr(shareStart);
}

// Sends an update for every enabled target naming another address; false when none needed one.
bool SendUpdates(void* handle, const std::string& address) {
    bool sent = false;
    const uint64_t count = KXAPI_GetNumTargets(handle);
    for (uint64_t index = 0; index < count; ++index) {
        const int id = KXAPI_GetTargetId(handle, index);
        TargetInfo info{};
        info.size = sizeof info;
        info.extension.size = sizeof info.extension;
        if (KXAPI_GetTargetInfo(handle, id, &info) != 0 || !info.enabled) {
            continue;
        }
        std::string path(info.pathLength, '\0');
        info.path = path.data();
        if (KXAPI_GetTargetInfo(handle, id, &info) != 0) {
            continue;
        }
        path.resize(path.empty() ? 0 : path.size() - 1);  // the terminator
        std::string next = Repointed(path, address);
        if (next.empty()) {
            continue;
        }
        info.path = next.data();
        info.pathLength = next.size() + 1;
        sent |= KXAPI_UpdateTargetEx(handle, id, nullptr, nullptr, &info) == 0;
    }
    return sent;
}

bool Start(ClientRun& run, unsigned short port, const Credentials& credentials) {
    run.handle = KXAPI_Init();
    return run.handle != nullptr && KXAPI_SetNonBlocking(run.handle, 1) == 0 &&
           KXAPI_SetCallbackEx(run.handle, RecordClientEvent, &run) == 0 &&
           KXAPI_Open(run.handle, "127.0.0.1", port) == 0 &&
           KXAPI_Login(run.handle, credentials.username.c_str(), credentials.password.c_str()) == 0;
}

// Moves one client on after its events; sets `done` when it has nothing more to do.
void Advance(ClientRun& run, const std::string& address) {
    if (run.closeRequested) {
        run.updated = run.updatesSent;
        run.done = true;
    } else if (run.loginFailed || KXAPI_GetSocket(run.handle) < 0) {
        run.failed = true;
        run.done = true;
    } else if (run.dataReady && !run.updatesSent) {
        run.updatesSent = SendUpdates(run.handle, address);
        run.done = !run.updatesSent;  // already right: nothing to wait for
    }
}

void Finish(ClientRun& run, DriverResult& result) {
    result.updated += run.updated ? 1 : 0;
    result.failed += run.failed || !run.done ? 1 : 0;
    KXAPI_Cleanup(run.handle);
    run.handle = nullptr;
}

uint32_t WantedEvents(void* handle) {
    return EPOLLIN | (KXAPI_IsWriting(handle) ? EPOLLOUT : 0u);
}

void Pump(void* handle, uint32_t events) {
    if (events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) {
        KXAPI_Send(handle);
    }
    if (events & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
        KXAPI_Recv(handle);
    }
}

int RecordTargetEvent(int event, long result, tagPayloadType*, unsigned long, void* user) {
    auto* state = static_cast<TargetWatch::State*>(user);
    state->dataSets += event == KXAPI_EVENT_DATA_READY ? 1 : 0;
    state->failed |=
        (event == KXAPI_EVENT_LOGIN && result != 0) || event == KXAPI_EVENT_CLOSE_REQUEST;
    return 0;
}

std::string FirstConnectedAddress(void* handle) {
    NetworkInfo info{};
    info.size = sizeof info;
    if (KXAPI_GetNetworkInfo(handle, &info) != 0) {
        return {};
    }
    for (uint64_t index = 0; index < info.adapterCount; ++index) {
        NetworkAdapter adapter{};
        adapter.size = sizeof adapter;
        if (KXAPI_GetNetworkAdapter(handle, index, &adapter) != 0 || !adapter.connected) {
            continue;
        }
        std::string name(adapter.nameLength, '\0'), description(adapter.descriptionLength, '\0'),
            mac(adapter.macLength, '\0'), ip(adapter.ipLength, '\0');
        adapter.name = name.data();
        adapter.description = description.data();
        adapter.mac = mac.data();
        adapter.ip = ip.data();
        if (KXAPI_GetNetworkAdapter(handle, index, &adapter) == 0) {
            return std::string(ip.c_str());
        }
    }
    return {};
}

// Pumps one handle with poll until `done` holds or `deadline` passes.
template <typename Done>
bool PumpUntil(void* handle, Done done, Clock::time_point deadline) {
    while (!done()) {
        const int fd = KXAPI_GetSocket(handle);
        if (fd < 0 || Clock::now() > deadline) {
            return false;
        }
        pollfd ready{fd, static_cast<short>(POLLIN | (KXAPI_IsWriting(handle) ? POLLOUT : 0)), 0};
        if (poll(&ready, 1, 100) > 0) {
            Pump(handle, (ready.revents & POLLOUT ? EPOLLOUT : 0u) |
                             (ready.revents & POLLIN ? EPOLLIN : 0u) |
                             (ready.revents & (POLLERR | POLLHUP) ? EPOLLERR : 0u));
        }
    }
    return true;
}

}  // namespace

TargetWatch::TargetWatch(unsigned short port, const Credentials& credentials) {
    handle_ = KXAPI_Init();
    if (handle_ == nullptr || KXAPI_SetNonBlocking(handle_, 1) != 0 ||
        KXAPI_SetCallbackEx(handle_, RecordTargetEvent, &state_) != 0 ||
        KXAPI_Open(handle_, "127.0.0.1", port) != 0 ||
        KXAPI_Login(handle_, credentials.username.c_str(), credentials.password.c_str()) != 0 ||
        !PumpUntil(
            handle_, [&] { return state_.dataSets > 0 || state_.failed; },
            Clock::now() + std::chrono::seconds(10)) ||
        state_.failed) {
        KXAPI_Cleanup(handle_);
        throw std::runtime_error("cannot log in to the target");
    }
}

TargetWatch::~TargetWatch() {
    KXAPI_Cleanup(handle_);
}

std::string TargetWatch::WaitForNextDataSet(std::chrono::seconds timeout) {
    const int seen = state_.dataSets;
    if (!PumpUntil(
            handle_, [&] { return state_.dataSets > seen || state_.failed; },
            Clock::now() + timeout) ||
        state_.failed) {
        return {};
    }
    return FirstConnectedAddress(handle_);
}

DriverResult UpdateAllAtOnce(const std::vector<unsigned short>& ports,
                             const Credentials& credentials, const std::string& address,
                             std::chrono::seconds timeout) {
    DriverResult result;
    const int poller = epoll_create1(EPOLL_CLOEXEC);
    if (poller < 0) {
        result.failed = static_cast<int>(ports.size());
        return result;
    }
    std::vector<ClientRun> runs(ports.size());
    std::vector<uint32_t> watched(ports.size(), 0);
    std::size_t remaining = 0;
    for (std::size_t index = 0; index < ports.size(); ++index) {
        ClientRun& run = runs[index];
        const int fd = Start(run, ports[index], credentials) ? KXAPI_GetSocket(run.handle) : -1;
        epoll_event event{};
        event.events = WantedEvents(run.handle);
        event.data.u64 = index;
        if (fd < 0 || epoll_ctl(poller, EPOLL_CTL_ADD, fd, &event) != 0) {
            Finish(run, result);
            continue;
        }
        watched[index] = event.events;
        ++remaining;
    }
    const auto deadline = Clock::now() + timeout;
    std::vector<epoll_event> events(1024);
    while (remaining > 0 && Clock::now() < deadline) {
        const int count = epoll_wait(poller, events.data(), static_cast<int>(events.size()), 100);
        for (int at = 0; at < count; ++at) {
            const std::size_t index = events[static_cast<std::size_t>(at)].data.u64;
            ClientRun& run = runs[index];
            Pump(run.handle, events[static_cast<std::size_t>(at)].events);
            Advance(run, address);
            const int fd = KXAPI_GetSocket(run.handle);
            if (run.done) {
                if (fd >= 0) {
                    epoll_ctl(poller, EPOLL_CTL_DEL, fd, nullptr);
                }
                Finish(run, result);
                --remaining;
                continue;
            }
            // Only a change of interest costs a system call.
            epoll_event event{};
            event.events = WantedEvents(run.handle);
            event.data.u64 = index;
            if (event.events != watched[index]) {
                epoll_ctl(poller, EPOLL_CTL_MOD, fd, &event);
                watched[index] = event.events;
            }
        }
    }
    for (ClientRun& run : runs) {
        if (run.handle != nullptr) {
            Finish(run, result);  // timed out
        }
    }
    close(poller);
    return result;
}

DriverResult UpdateOneAfterAnother(const std::vector<unsigned short>& ports,
                                   const Credentials& credentials, const std::string& address,
                                   std::chrono::seconds timeout) {
    DriverResult result;
    const auto deadline = Clock::now() + timeout;
    for (const unsigned short port : ports) {
        ClientRun run;
        if (Start(run, port, credentials)) {
            PumpUntil(
                run.handle,
                [&] {
                    Advance(run, address);
                    return run.done;
                },
                deadline);
        }
        Finish(run, result);
    }
    return result;
}

}  // namespace bench
