// A test's poll loop around one SDK handle, and its two-call query helpers.
#include "sdk_test_client.h"

#include <poll.h>

#include <algorithm>
#include <stdexcept>

namespace kxapi_testing {

SdkClient::SdkClient() : handle_(KXAPI_Init()) {
    if (handle_ == nullptr) {
        throw std::runtime_error("KXAPI_Init failed");
    }
    KXAPI_SetNonBlocking(handle_, 1);
    KXAPI_SetCallbackEx(handle_, &SdkClient::OnEvent, this);
}

SdkClient::~SdkClient() {
    KXAPI_Cleanup(handle_);
}

int SdkClient::OnEvent(int event, long result, tagPayloadType*, unsigned long, void* self) {
    auto* client = static_cast<SdkClient*>(self);
    client->events_.push_back({event, result});
    if (client->onEvent) {
        client->onEvent(event, result);
    }
    return 0;
}

int SdkClient::Open(unsigned port, const std::string& address) {
    return KXAPI_Open(handle_, address.c_str(), static_cast<unsigned short>(port));
}

int SdkClient::Login(const std::string& user, const std::string& password) {
    return KXAPI_Login(handle_, user.c_str(), password.c_str());
}

bool SdkClient::PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        const int fd = KXAPI_GetSocket(handle_);
        if (fd < 0) {
            break;
        }
        const bool writing = KXAPI_IsWriting(handle_) != 0;
        pollfd ready{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (poll(&ready, 1, 10) <= 0) {
            continue;
        }
        if (writing && (ready.revents & (POLLOUT | POLLERR | POLLHUP))) {
            if (const int sent = KXAPI_Send(handle_); sent != 0) {
                failures_.push_back(sent);
            }
        }
        if (KXAPI_GetSocket(handle_) >= 0 && (ready.revents & (POLLIN | POLLERR | POLLHUP))) {
            if (const int received = KXAPI_Recv(handle_); received != 0) {
                failures_.push_back(received);
            }
        }
    }
    return done();
}

bool SdkClient::WaitForEvent(int event, std::size_t count, std::chrono::milliseconds timeout) {
    return PumpUntil([&] { return Count(event) >= count; }, timeout);
}

bool SdkClient::ConnectAndLoad(unsigned port, const std::string& user,
                               const std::string& password) {
    const std::size_t loaded = Count(KXAPI_EVENT_DATA_READY);
    if (Open(port) != 0 || Login(user, password) != 0 ||
        !WaitForEvent(KXAPI_EVENT_DATA_READY, loaded + 1)) {
        return false;
    }
    const auto login = std::find_if(events_.rbegin(), events_.rend(), [](const Event& seen) {
        return seen.event == KXAPI_EVENT_LOGIN;
    });
    return login != events_.rend() && login->result == 0;
}

std::size_t SdkClient::Count(int event) const {
    return static_cast<std::size_t>(
        std::count_if(events_.begin(), events_.end(),
                      [event](const Event& seen) { return seen.event == event; }));
}

TargetInfo EmptyTargetInfo() {
    TargetInfo info{};
    info.size = sizeof(TargetInfo);
    info.extension.size = sizeof(TargetInfoExtension);
    return info;
}

NetworkAdapter EmptyNetworkAdapter() {
    NetworkAdapter adapter{};
    adapter.size = sizeof(NetworkAdapter);
    return adapter;
}

std::optional<std::string> SdkClient::TargetPath(int id) const {
    TargetInfo info = EmptyTargetInfo();
    if (KXAPI_GetTargetInfo(handle_, id, &info) != 0 || info.pathLength == 0) {
        return std::nullopt;
    }
    std::string path(info.pathLength, '\0');
    info.path = path.data();
    if (KXAPI_GetTargetInfo(handle_, id, &info) != 0) {
        return std::nullopt;
    }
    path.pop_back();  // the NUL
    return path;
}

std::optional<AdapterTexts> SdkClient::Adapter(uint64_t index) const {
    NetworkAdapter adapter = EmptyNetworkAdapter();
    if (KXAPI_GetNetworkAdapter(handle_, index, &adapter) != 0) {
        return std::nullopt;
    }
    std::string name(adapter.nameLength, '\0');
    std::string description(adapter.descriptionLength, '\0');
    std::string mac(adapter.macLength, '\0');
    std::string ip(adapter.ipLength, '\0');
    adapter.name = name.data();
    adapter.description = description.data();
    adapter.mac = mac.data();
    adapter.ip = ip.data();
    if (KXAPI_GetNetworkAdapter(handle_, index, &adapter) != 0) {
        return std::nullopt;
    }
    for (std::string* text : {&name, &description, &mac, &ip}) {
        text->pop_back();
    }
    return AdapterTexts{name, description, mac, ip, adapter.connected != 0, adapter.dhcp != 0};
}

std::vector<int> SdkClient::TargetIds() const {
    std::vector<int> ids;
    for (uint64_t index = 0; index < KXAPI_GetNumTargets(handle_); ++index) {
        ids.push_back(KXAPI_GetTargetId(handle_, index));
    }
    return ids;
}

int SdkClient::UpdatePath(int id, const std::string& path) {
    TargetInfo info = EmptyTargetInfo();
    std::string text = path;
    info.path = text.data();
    info.pathLength = text.size() + 1;
    return KXAPI_UpdateTargetEx(handle_, id, nullptr, nullptr, &info);
}

}  // namespace kxapi_testing
