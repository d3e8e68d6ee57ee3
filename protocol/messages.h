// The archive-server wire protocol: message records, frame encoding and strict frame decoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace kxprotocol {

constexpr uint32_t kMagic = 0x4B584150;  // "KXAP", first field of a login
constexpr uint16_t kVersion = 1;
constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kMaxFrameSize = 64 * 1024;  // header included
constexpr std::size_t kMaxBodySize = kMaxFrameSize - kHeaderSize;

enum class MessageType : uint8_t {
    kLogin = 0x01,
    kUpdateTarget = 0x02,
    kLoginResult = 0x81,
    kDataBegin = 0x82,
    kAdapter = 0x83,
    kTarget = 0x84,
    kDataEnd = 0x85,
    kUpdateResult = 0x86,
    kCloseRequest = 0x87,
};

// Login outcomes; any nonzero value is a refusal and reaches the SDK caller as the reason.
enum LoginStatus : uint8_t {
    kLoginAccepted = 0,
    kLoginBadCredentials = 1,
    kLoginRefused = 2,
    kLoginUnsupportedVersion = 3,
};

enum class UpdateStatus : uint8_t { kApplied = 0, kRejected = 1, kUnknownTarget = 2 };

// Client to server.
struct Login {
    uint16_t version = kVersion;
    std::string user;
    std::string password;
};
struct UpdateTarget {
    int32_t targetId = 0;
    std::string path;
};

// Server to client.
struct LoginResult {
    uint8_t status = kLoginAccepted;
    uint16_t version = kVersion;
};
struct DataBegin {
    uint16_t adapterCount = 0;
    uint16_t targetCount = 0;
};
struct Adapter {
    std::string name;
    std::string description;
    std::string mac;
    std::string ip;
    bool connected = false;
    bool dhcp = false;
};
struct Target {
    int32_t id = 0;  // never negative
    bool enabled = false;
    std::string path;
};
struct DataEnd {};
struct UpdateResult {
    int32_t targetId = 0;
    UpdateStatus status = UpdateStatus::kApplied;
    std::string path;  // the path in effect after the update
};
struct CloseRequest {};

using Message = std::variant<Login, UpdateTarget, LoginResult, DataBegin, Adapter, Target, DataEnd,
                             UpdateResult, CloseRequest>;

bool operator==(const Login&, const Login&);
bool operator==(const UpdateTarget&, const UpdateTarget&);
bool operator==(const LoginResult&, const LoginResult&);
bool operator==(const DataBegin&, const DataBegin&);
bool operator==(const Adapter&, const Adapter&);
bool operator==(const Target&, const Target&);
bool operator==(const DataEnd&, const DataEnd&);
bool operator==(const UpdateResult&, const UpdateResult&);
bool operator==(const CloseRequest&, const CloseRequest&);

// Appends one complete frame to `out`. Returns false, leaving `out` unchanged, when a text is
// longer than 65535 bytes or the frame would exceed kMaxFrameSize.
bool Encode(const Message& message, std::vector<uint8_t>& out);

enum class DecodeStatus { kComplete, kNeedMore, kMalformed };

struct Decoded {
    DecodeStatus status = DecodeStatus::kNeedMore;
    Message message;
    std::size_t frameSize = 0;  // bytes consumed when complete
    std::string error;          // why, when malformed
};

// Decodes the frame at the start of `data`. kNeedMore while the bytes so far are a valid prefix;
// a length outside 1..kMaxBodySize is malformed as soon as the header is in, so a peer can never
// make the reader wait for (or buffer) more than one bounded frame.
Decoded DecodeFrame(const uint8_t* data, std::size_t size);

const char* MessageName(const Message& message);

}  // namespace kxprotocol
