// Driving one SDK handle from a test: a small poll loop, recorded events, text queries.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sdk/kxapi.h"

namespace kxapi_testing {

struct Event {
    int event;
    long result;
};

struct AdapterTexts {
    std::string name;
    std::string description;
    std::string mac;
    std::string ip;
    bool connected;
    bool dhcp;
};

// One handle, in non-blocking mode, with a callback that records every event.
class SdkClient {
public:
    SdkClient();
    ~SdkClient();
    SdkClient(const SdkClient&) = delete;
    SdkClient& operator=(const SdkClient&) = delete;

    void* Handle() const { return handle_; }
    int Open(unsigned port, const std::string& address = "127.0.0.1");
    int Login(const std::string& user = "admin", const std::string& password = "secret");
    bool Connected() const { return KXAPI_GetSocket(handle_) >= 0; }

    // Polls the socket, calling KXAPI_Send when it is writable and output is queued and
    // KXAPI_Recv when it is readable, until `done` holds, the connection is gone or `timeout`
    // passes. Returns done().
    bool PumpUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Pumps until `event` has been delivered `count` times in all.
    bool WaitForEvent(int event, std::size_t count = 1,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Opens, logs in and waits for the data; true when login and data both arrived.
    bool ConnectAndLoad(unsigned port, const std::string& user = "admin",
                        const std::string& password = "secret");

    std::size_t Count(int event) const;
    const std::vector<Event>& Events() const { return events_; }
    // The nonzero results KXAPI_Recv and KXAPI_Send returned while pumping.
    const std::vector<int>& Failures() const { return failures_; }

    // Runs inside the SDK callback, after the event is recorded.
    std::function<void(int event, long result)> onEvent;

    // Queries through the two-call convention; nothing when a call fails.
    std::optional<std::string> TargetPath(int id) const;
    std::optional<AdapterTexts> Adapter(uint64_t index) const;
    std::vector<int> TargetIds() const;
    int UpdatePath(int id, const std::string& path);

private:
    static int OnEvent(int event, long result, tagPayloadType* payload, unsigned long length,
                       void* self);

    void* handle_;
    std::vector<Event> events_;
    std::vector<int> failures_;
};

// A TargetInfo record with its sizes set, everything else zero.
TargetInfo EmptyTargetInfo();
NetworkAdapter EmptyNetworkAdapter();

}  // namespace kxapi_testing
