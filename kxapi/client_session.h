// One SDK handle: its connection, login state, cached server data and event delivery.
#pragma once

#include <cstdint>
#include <optional>

#include "connection.h"
#include "protocol/messages.h"
#include "sdk/kxapi.h"
#include "server_data.h"

namespace kxapi {

// Every method returns a ResultCode unless it says otherwise. Events reach the callback only from
// inside Recv, on the calling thread. Open never waits for a name lookup: while one is on its
// way, Socket gives a descriptor that becomes readable when the answer is in, and the Recv that
// follows starts the connect (a login requested meanwhile goes out once connected) or, when the
// name did not resolve, ends the connection. The callback may call any method of the same session:
// nothing is held across the call, and a connection changed by the callback (Close, Open) ends
// the delivering call's work on the old one.
class ClientSession {
public:
    int SetNonBlocking(int enable) const;
    int SetCallback(KXAPI_CALLBACK callback, void* userData);
    int Open(const char* address, unsigned short port);
    int Login(const char* user, const char* password);
    int Close();
    int Socket() const { return connection_.Fd(); }
    int IsWriting() const;
    int Recv();
    int Send();

    int GetNetworkInfo(NetworkInfo* info) const;
    int GetNetworkAdapter(uint64_t index, NetworkAdapter* adapter) const;
    uint64_t NumTargets() const;
    int TargetId(uint64_t index) const;  // -1 for an index out of range
    int GetTargetInfo(int id, TargetInfo* info) const;
    int UpdateTarget(int id, const TargetInfo* info);

    // A session cleaned up from inside its own callback is only marked: the SDK call that
    // delivered the event frees it on the way out.
    bool InCallback() const { return callbackDepth_ > 0; }
    bool CleanupRequested() const { return cleanupRequested_; }
    void RequestCleanup();

private:
    enum class LoginState { kNone, kPending, kAccepted, kRefused };

    // What a received message asks of the session: an event to deliver, or a protocol error.
    struct Reaction {
        int event = 0;
        long result = 0;
        bool protocolError = false;
    };

    std::optional<int> ProcessInput(uint64_t generation);
    Reaction Handle(kxprotocol::Message&& message);
    Reaction HandleData(kxprotocol::Message&& message);
    void Deliver(int event, long result);
    // Ends the connection but keeps the last complete data readable.
    void LoseConnection();
    // Ends the connection and forgets its data.
    void ForgetConnection();

    Connection connection_;
    LoginState login_ = LoginState::kNone;
    DataAssembler assembler_;
    ServerData data_;
    bool hasData_ = false;
    KXAPI_CALLBACK callback_ = nullptr;
    void* userData_ = nullptr;
    int callbackDepth_ = 0;
    bool cleanupRequested_ = false;
};

}  // namespace kxapi
