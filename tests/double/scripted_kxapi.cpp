// A scripted stand-in for the server SDK, linked into unit tests in place of libkxAPI.so.
#include "double/scripted_kxapi.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

namespace scripted_sdk {
namespace {

// A handle is a pointer to one of these; the number names the connection in calls and scripts.
struct HandleBody {
    int number;
};

struct State {
    std::mutex mutex;
    std::map<int, Connection> connections;
    std::vector<std::unique_ptr<HandleBody>> handles;
    std::vector<std::string> calls;
    int failInits = 0;
    int failInitAt = 0;  // absolute Init count that fails
    int initCount = 0;
};

State& state() {
    static State instance;
    return instance;
}

int NumberOf(void* hkx) {
    return hkx == nullptr ? 0 : static_cast<HandleBody*>(hkx)->number;
}

template <typename... Args>
void Record(const char* name, void* hkx, const Args&... args) {
    std::ostringstream call;
    call << name << "(" << NumberOf(hkx);
    ((call << "," << args), ...);
    call << ")";
    state().calls.push_back(call.str());
}

// The connection of a live handle, or null. Caller holds the lock.
Connection* Find(void* hkx) {
    if (hkx == nullptr) {
        return nullptr;
    }
    auto found = state().connections.find(NumberOf(hkx));
    return found == state().connections.end() ? nullptr : &found->second;
}

void CloseSockets(Connection& connection) {
    for (int& fd : connection.socketFds) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

// Two-call text convention: report the size with a null pointer, copy it into a set one.
bool FillText(const std::string& text, char* destination, uint64_t& length,
              std::optional<uint64_t> reportedLength = {}, bool withoutNul = false) {
    const uint64_t size = reportedLength.value_or(text.size() + 1);
    if (destination == nullptr) {
        length = size;
        return true;
    }
    if (length < size) {
        return false;
    }
    const uint64_t copied = std::min<uint64_t>(text.size(), size);
    std::memcpy(destination, text.data(), copied);
    if (!withoutNul && copied < size) {
        destination[copied] = '\0';
    } else if (withoutNul) {
        std::memset(destination + copied, 'x', size - copied);
    }
    return true;
}

Target* FindTarget(Connection& connection, int id) {
    for (auto& target : connection.targets) {
        if (target.id == id) {
            return &target;
        }
    }
    return nullptr;
}

}  // namespace

void Reset() {
    std::lock_guard<std::mutex> lock(state().mutex);
    for (auto& entry : state().connections) {
        CloseSockets(entry.second);
    }
    state().connections.clear();
    state().handles.clear();
    state().calls.clear();
    state().failInits = 0;
    state().failInitAt = 0;
    state().initCount = 0;
}

void FailNextInit(int count) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().failInits = count;
}

void FailInitNumber(int number) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().failInitAt = state().initCount + number;
}

void Configure(int connection, const std::function<void(Connection&)>& change) {
    std::lock_guard<std::mutex> lock(state().mutex);
    change(state().connections[connection]);
}

Connection Inspect(int connection) {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().connections[connection];
}

void* Handle(int connection) {
    std::lock_guard<std::mutex> lock(state().mutex);
    for (const auto& handle : state().handles) {
        if (handle->number == connection) {
            return handle.get();
        }
    }
    return nullptr;
}

std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().calls;
}

void ClearCalls() {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().calls.clear();
}

void MakeReadable(int connection) {
    std::lock_guard<std::mutex> lock(state().mutex);
    const int peer = state().connections[connection].socketFds[1];
    if (peer >= 0) {
        const char byte = 0;
        (void)!write(peer, &byte, 1);
    }
}

void HangUp(int connection) {
    std::lock_guard<std::mutex> lock(state().mutex);
    int& peer = state().connections[connection].socketFds[1];
    if (peer >= 0) {
        close(peer);
        peer = -1;
    }
}

int Deliver(int connection, int event, long result) {
    KXAPI_CALLBACK callback = nullptr;
    void* userData = nullptr;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        const Connection& scripted = state().connections[connection];
        callback = scripted.callback;
        userData = scripted.userData;
    }
    return callback == nullptr ? -1 : callback(event, result, nullptr, 0, userData);
}

}  // namespace scripted_sdk

using scripted_sdk::Connection;
using scripted_sdk::state;

extern "C" {

void* KXAPI_Init(void) {
    std::lock_guard<std::mutex> lock(state().mutex);
    const int number = ++state().initCount;
    if (state().failInits > 0 || number == state().failInitAt) {
        state().failInits = std::max(0, state().failInits - 1);
        state().calls.push_back("Init()=null");
        return nullptr;
    }
    state().handles.push_back(
        std::make_unique<scripted_sdk::HandleBody>(scripted_sdk::HandleBody{number}));
    state().connections[number];
    state().calls.push_back("Init()=" + std::to_string(number));
    return state().handles.back().get();
}

void KXAPI_Cleanup(void* hkx) {
    std::lock_guard<std::mutex> lock(state().mutex);
    scripted_sdk::Record("Cleanup", hkx);
    if (Connection* connection = scripted_sdk::Find(hkx)) {
        ++connection->cleanups;
        scripted_sdk::CloseSockets(*connection);
    }
}

int KXAPI_SetNonBlocking(void* hkx, int enable) {
    std::lock_guard<std::mutex> lock(state().mutex);
    scripted_sdk::Record("SetNonBlocking", hkx, enable);
    return 0;
}

int KXAPI_SetCallbackEx(void* hkx, KXAPI_CALLBACK callback, void* userData) {
    std::lock_guard<std::mutex> lock(state().mutex);
    scripted_sdk::Record("SetCallbackEx", hkx);
    Connection* connection = scripted_sdk::Find(hkx);
    if (connection == nullptr) {
        return -1;
    }
    connection->callback = callback;
    connection->userData = userData;
    return 0;
}

int KXAPI_Open(void* hkx, const char* address, unsigned short port) {
    std::lock_guard<std::mutex> lock(state().mutex);
    scripted_sdk::Record("Open", hkx, address, port);
    Connection* connection = scripted_sdk::Find(hkx);
    if (connection == nullptr) {
        return -1;
    }
    ++connection->opens;
    scripted_sdk::CloseSockets(*connection);
    if (connection->openResult != 0) {
        return connection->openResult;
    }
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, connection->socketFds) !=
        0) {
        return -1;
    }
    if (!connection->eventsOnOpen.empty()) {
        connection->eventsOnRecv = connection->eventsOnOpen;
    }
    if (connection->readableOnOpen || !connection->eventsOnOpen.empty()) {
        const char byte = 0;
        (void)!write(connection->socketFds[1], &byte, 1);
    }
    return 0;
}

int KXAPI_Login(void* hkx, const char* user, const char* password) {
    std::lock_guard<std::mutex> lock(state().mutex);
    scripted_sdk::Record("Login", hkx, user, password);
    Connection* connection = scripted_sdk::Find(hkx);
    return connection == nullptr ? -1 : connection->loginResult;
}

int KXAPI_Close(void* hkx) {
    std::lock_guard<std::mutex> lock(state().mutex);
    scripted_sdk::Record("Close", hkx);
    if (Connection* connection = scripted_sdk::Find(hkx)) {
        ++connection->closes;
        scripted_sdk::CloseSockets(*connection);
    }
    return 0;
}

int KXAPI_GetSocket(void* hkx) {
    std::lock_guard<std::mutex> lock(state().mutex);
    Connection* connection = scripted_sdk::Find(hkx);
    if (connection == nullptr) {
        return -1;
    }
    ++connection->socketQueries;
    if (!connection->reportSocket) {
        return -1;
    }
    return connection->reportedSocket.value_or(connection->socketFds[0]);
}

int KXAPI_IsWriting(void* hkx) {
    std::lock_guard<std::mutex> lock(state().mutex);
    Connection* connection = scripted_sdk::Find(hkx);
    return connection == nullptr ? 0 : connection->writing;
}

int KXAPI_Recv(void* hkx) {
    std::vector<std::pair<int, long>> events;
    int result = -1;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        scripted_sdk::Record("Recv", hkx);
        Connection* connection = scripted_sdk::Find(hkx);
        if (connection == nullptr) {
            return -1;
        }
        ++connection->recvCalls;
        char drain[64];
        while (!connection->stayReadable && connection->socketFds[0] >= 0 &&
               read(connection->socketFds[0], drain, sizeof drain) > 0) {
        }
        events.swap(connection->eventsOnRecv);
        result = connection->recvResult;
    }
    const int number = scripted_sdk::NumberOf(hkx);
    for (const auto& event : events) {
        scripted_sdk::Deliver(number, event.first, event.second);
    }
    return result;
}

int KXAPI_Send(void* hkx) {
    std::lock_guard<std::mutex> lock(state().mutex);
    scripted_sdk::Record("Send", hkx);
    Connection* connection = scripted_sdk::Find(hkx);
    if (connection == nullptr) {
        return -1;
    }
    ++connection->sendCalls;
    return connection->sendResult;
}

int KXAPI_GetNetworkInfo(void* hkx, NetworkInfo* info) {
    std::lock_guard<std::mutex> lock(state().mutex);
    scripted_sdk::Record("GetNetworkInfo", hkx);
    Connection* connection = scripted_sdk::Find(hkx);
    if (connection == nullptr || info == nullptr || info->size != sizeof(NetworkInfo)) {
        return -1;
    }
    if (connection->networkInfoResult != 0) {
        return connection->networkInfoResult;
    }
    info->adapterCount = connection->adapterCount.value_or(connection->adapters.size());
    return 0;
}

int KXAPI_GetNetworkAdapter(void* hkx, uint64_t index, NetworkAdapter* adapter) {
    std::lock_guard<std::mutex> lock(state().mutex);
    scripted_sdk::Record("GetNetworkAdapter", hkx, index);
    Connection* connection = scripted_sdk::Find(hkx);
    if (connection == nullptr || adapter == nullptr || adapter->size != sizeof(NetworkAdapter) ||
        index >= connection->adapters.size()) {
        return -1;
    }
    const bool populating = adapter->name != nullptr || adapter->ip != nullptr;
    const scripted_sdk::Adapter& scripted = connection->adapters[index];
    // Counted only where it matters: reports of many thousand adapters are scripted too.
    const bool reGet =
        !populating && scripted.failReGet &&
        std::count(connection->adapterQueries.begin(), connection->adapterQueries.end(), index) > 0;
    connection->adapterQueries.push_back(index);
    if (scripted.failQuery || (populating && scripted.failPopulate) || reGet) {
        return -1;
    }
    adapter->connected = scripted.connected;
    adapter->dhcp = scripted.dhcp;
    const auto fill = [&scripted](const std::string& text, char* destination, uint64_t& length) {
        return scripted_sdk::FillText(text, destination, length, scripted.reportedLength,
                                      scripted.fillWithoutNul);
    };
    const bool filled =
        fill(scripted.name, adapter->name, adapter->nameLength) &&
        fill(scripted.description, adapter->description, adapter->descriptionLength) &&
        fill(scripted.mac, adapter->mac, adapter->macLength) &&
        fill(scripted.ip, adapter->ip, adapter->ipLength);
    return filled ? 0 : -1;
}

uint64_t KXAPI_GetNumTargets(void* hkx) {
    std::lock_guard<std::mutex> lock(state().mutex);
    scripted_sdk::Record("GetNumTargets", hkx);
    Connection* connection = scripted_sdk::Find(hkx);
    return connection == nullptr ? 0 : connection->targets.size();
}

int KXAPI_GetTargetId(void* hkx, uint64_t index) {
    std::lock_guard<std::mutex> lock(state().mutex);
    scripted_sdk::Record("GetTargetId", hkx, index);
    Connection* connection = scripted_sdk::Find(hkx);
    if (connection == nullptr || index >= connection->targets.size()) {
        return -1;
    }
    return connection->targets[index].id;
}

int KXAPI_GetTargetInfo(void* hkx, int id, TargetInfo* info) {
    std::lock_guard<std::mutex> lock(state().mutex);
    scripted_sdk::Record("GetTargetInfo", hkx, id,
                         info != nullptr && info->path != nullptr ? "fill" : "query");
    Connection* connection = scripted_sdk::Find(hkx);
    if (connection == nullptr || info == nullptr || info->size != sizeof(TargetInfo) ||
        info->extension.size != sizeof(TargetInfoExtension)) {
        return -1;
    }
    scripted_sdk::Target* target = scripted_sdk::FindTarget(*connection, id);
    if (target == nullptr) {
        return -1;
    }
    const bool filling = info->path != nullptr;
    if ((filling && target->failFill) || (!filling && target->failQuery)) {
        return -1;
    }
    info->enabled = target->enabled;
    // Marks the bytes the service must send back untouched.
    std::memset(info->reserved1, 0x5a, sizeof info->reserved1);
    std::memset(info->reserved2, 0xa5, sizeof info->reserved2);
    return scripted_sdk::FillText(target->path, info->path, info->pathLength,
                                  target->reportedLength, target->fillWithoutNul)
               ? 0
               : -1;
}

int KXAPI_UpdateTargetEx(void* hkx, int id, void* reserved1, void* reserved2, TargetInfo* info) {
    std::lock_guard<std::mutex> lock(state().mutex);
    scripted_sdk::Record("UpdateTargetEx", hkx, id);
    Connection* connection = scripted_sdk::Find(hkx);
    if (connection == nullptr || info == nullptr || info->path == nullptr) {
        return -1;
    }
    const bool reservedIntact = std::all_of(std::begin(info->reserved1), std::end(info->reserved1),
                                            [](uint8_t byte) { return byte == 0x5a; }) &&
                                std::all_of(std::begin(info->reserved2), std::end(info->reserved2),
                                            [](uint8_t byte) { return byte == 0xa5; });
    connection->updates.push_back(
        scripted_sdk::Update{id, std::string(info->path, strnlen(info->path, info->pathLength)),
                             info->pathLength, reserved1 == nullptr && reserved2 == nullptr,
                             reservedIntact, info->enabled, connection->opens});
    if (connection->applyUpdates) {
        if (scripted_sdk::Target* target = scripted_sdk::FindTarget(*connection, id)) {
            target->path = connection->updates.back().path;
        }
    }
    return connection->updateResult;
}

}  // extern "C"
