// An SDK handle's behaviour: connecting, login, reading and reacting to messages, queries.
#include "client_session.h"

#include <algorithm>
#include <string>
#include <utility>

#include "record_filling.h"
#include "result_codes.h"

namespace kxapi {
namespace {

// Reads per Recv call, so one busy connection cannot keep its caller for long.
constexpr int kMaxReadsPerRecv = 16;

}  // namespace

int ClientSession::SetNonBlocking(int enable) const {
    return enable != 0 ? kOk : kInvalidArgument;
}

int ClientSession::SetCallback(KXAPI_CALLBACK callback, void* userData) {
    callback_ = callback;
    userData_ = userData;
    return kOk;
}

int ClientSession::Open(const char* address, unsigned short port) {
    ForgetConnection();
    if (address == nullptr) {
        return kInvalidArgument;
    }
    return connection_.Start(address, port) ? kOk : kConnectionFailed;
}

int ClientSession::Login(const char* user, const char* password) {
    if (user == nullptr || password == nullptr) {
        return kInvalidArgument;
    }
    if (!connection_.IsOpen()) {
        return kNotConnected;
    }
    if (login_ != LoginState::kNone) {
        return kInvalidArgument;
    }
    std::vector<uint8_t> frame;
    if (!kxprotocol::Encode(kxprotocol::Login{kxprotocol::kVersion, user, password}, frame)) {
        return kInvalidArgument;
    }
    const bool queued = connection_.Queue(frame);
    std::fill(frame.begin(), frame.end(), 0);
    if (!queued) {
        return kQueueFull;
    }
    login_ = LoginState::kPending;
    return kOk;
}

int ClientSession::Close() {
    const bool wasOpen = connection_.IsOpen();
    ForgetConnection();
    return wasOpen ? kOk : kNotConnected;
}

int ClientSession::IsWriting() const {
    // Output queued during a lookup waits for the socket; the lookup's descriptor is always
    // writable and must not be watched for writing.
    if (connection_.IsResolving()) {
        return 0;
    }
    return connection_.IsConnecting() || connection_.HasQueuedOutput() ? 1 : 0;
}

int ClientSession::Send() {
    if (!connection_.IsOpen()) {
        return kNotConnected;
    }
    if (connection_.IsResolving()) {
        return kOk;
    }
    if (!connection_.CompleteConnect() || !connection_.Flush()) {
        LoseConnection();
        return kConnectionFailed;
    }
    return kOk;
}

int ClientSession::Recv() {
    if (!connection_.IsOpen()) {
        return kNotConnected;
    }
    // The lookup's descriptor is readable: its answer starts the connect, or ends the connection
    // like a refused one.
    if (connection_.IsResolving()) {
        if (!connection_.FinishLookup()) {
            LoseConnection();
            return kConnectionFailed;
        }
        return kOk;
    }
    if (!connection_.CompleteConnect()) {
        LoseConnection();
        return kConnectionFailed;
    }
    if (connection_.IsConnecting()) {
        return kOk;
    }
    const uint64_t generation = connection_.Generation();
    for (int read = 0; read < kMaxReadsPerRecv; ++read) {
        const Connection::ReadResult result = connection_.ReadSome();
        if (const std::optional<int> done = ProcessInput(generation)) {
            return *done;
        }
        if (result == Connection::ReadResult::kWouldBlock) {
            return kOk;
        }
        if (result != Connection::ReadResult::kData) {
            // A close between frames is an orderly end: the socket goes, the call succeeded.
            // A close inside a frame truncated it; a socket error is a failure too.
            const bool orderly =
                result == Connection::ReadResult::kEof && connection_.UnprocessedSize() == 0;
            LoseConnection();
            return orderly ? kOk : kConnectionFailed;
        }
    }
    return kOk;
}

// Handles every complete frame in the input. A value means Recv is done with that result.
std::optional<int> ClientSession::ProcessInput(uint64_t generation) {
    for (;;) {
        kxprotocol::Decoded decoded =
            kxprotocol::DecodeFrame(connection_.Unprocessed(), connection_.UnprocessedSize());
        if (decoded.status == kxprotocol::DecodeStatus::kNeedMore) {
            return std::nullopt;
        }
        if (decoded.status == kxprotocol::DecodeStatus::kMalformed) {
            LoseConnection();
            return kConnectionFailed;
        }
        connection_.Consume(decoded.frameSize);
        const Reaction reaction = Handle(std::move(decoded.message));
        if (reaction.protocolError) {
            LoseConnection();
            return kConnectionFailed;
        }
        if (reaction.event != 0) {
            Deliver(reaction.event, reaction.result);
            if (connection_.Generation() != generation) {
                return kOk;  // the callback closed or reopened the connection
            }
        }
    }
}

ClientSession::Reaction ClientSession::Handle(kxprotocol::Message&& message) {
    if (const auto* result = std::get_if<kxprotocol::LoginResult>(&message)) {
        if (login_ != LoginState::kPending) {
            return {0, 0, true};
        }
        login_ = result->status == kxprotocol::kLoginAccepted ? LoginState::kAccepted
                                                              : LoginState::kRefused;
        return {KXAPI_EVENT_LOGIN, result->status, false};
    }
    if (std::holds_alternative<kxprotocol::CloseRequest>(message)) {
        return {KXAPI_EVENT_CLOSE_REQUEST, 0, false};
    }
    if (login_ != LoginState::kAccepted) {
        return {0, 0, true};  // client messages, or server data before a successful login
    }
    return HandleData(std::move(message));
}

ClientSession::Reaction ClientSession::HandleData(kxprotocol::Message&& message) {
    // Every piece of a data set that fits tells the caller the set is still on its way.
    const auto piece = [](const std::string& error) {
        return error.empty() ? Reaction{KXAPI_EVENT_DATA_PROGRESS, 0, false} : Reaction{0, 0, true};
    };
    std::string error;
    if (const auto* begin = std::get_if<kxprotocol::DataBegin>(&message)) {
        return piece(assembler_.Begin(*begin));
    } else if (auto* adapter = std::get_if<kxprotocol::Adapter>(&message)) {
        return piece(assembler_.Add(std::move(*adapter)));
    } else if (auto* target = std::get_if<kxprotocol::Target>(&message)) {
        return piece(assembler_.Add(std::move(*target)));
    } else if (std::holds_alternative<kxprotocol::DataEnd>(message)) {
        error = assembler_.Finish(data_);
        if (error.empty()) {
            hasData_ = true;
            return {KXAPI_EVENT_DATA_READY, 0, false};
        }
    } else if (auto* update = std::get_if<kxprotocol::UpdateResult>(&message)) {
        // The acknowledgement refreshes the cache quietly; a target gone meanwhile is no error.
        kxprotocol::Target* target = hasData_ ? data_.FindTarget(update->targetId) : nullptr;
        if (target != nullptr && update->status == kxprotocol::UpdateStatus::kApplied) {
            target->path = std::move(update->path);
        }
    } else {
        error = "unexpected message";
    }
    return {0, 0, !error.empty()};
}

void ClientSession::Deliver(int event, long result) {
    if (callback_ == nullptr) {
        return;
    }
    // Restores the depth even if a C++ callback throws through the SDK.
    struct DepthGuard {
        int& depth;
        explicit DepthGuard(int& d) : depth(d) { ++depth; }
        ~DepthGuard() { --depth; }
    } guard(callbackDepth_);
    callback_(event, result, nullptr, 0, userData_);
}

void ClientSession::LoseConnection() {
    connection_.Drop();
    login_ = LoginState::kNone;
    assembler_.Reset();
}

void ClientSession::ForgetConnection() {
    LoseConnection();
    data_ = {};
    hasData_ = false;
}

void ClientSession::RequestCleanup() {
    cleanupRequested_ = true;
    callback_ = nullptr;
    ForgetConnection();
}

int ClientSession::GetNetworkInfo(NetworkInfo* info) const {
    return hasData_ ? FillNetworkInfo(data_, info) : kNoData;
}

int ClientSession::GetNetworkAdapter(uint64_t index, NetworkAdapter* adapter) const {
    return hasData_ ? FillNetworkAdapter(data_, index, adapter) : kNoData;
}

uint64_t ClientSession::NumTargets() const {
    return hasData_ ? data_.targets.size() : 0;
}

int ClientSession::TargetId(uint64_t index) const {
    return hasData_ && index < data_.targets.size() ? data_.targets[index].id : -1;
}

int ClientSession::GetTargetInfo(int id, TargetInfo* info) const {
    return hasData_ ? FillTargetInfo(data_, id, info) : kNoData;
}

int ClientSession::UpdateTarget(int id, const TargetInfo* info) {
    std::string path;
    if (const int read = ReadUpdatePath(info, path); read != kOk) {
        return read;
    }
    if (!connection_.IsOpen() || login_ != LoginState::kAccepted) {
        return kNotConnected;
    }
    if (!hasData_) {
        return kNoData;
    }
    if (data_.FindTarget(id) == nullptr) {
        return kNotFound;
    }
    std::vector<uint8_t> frame;
    if (!kxprotocol::Encode(kxprotocol::UpdateTarget{id, std::move(path)}, frame)) {
        return kInvalidArgument;
    }
    return connection_.Queue(frame) ? kOk : kQueueFull;
}

}  // namespace kxapi
