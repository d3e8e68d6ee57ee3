// Encoding and strict decoding of the archive-server wire protocol's frames.
#include "protocol/messages.h"

#include <iterator>
#include <limits>
#include <tuple>

#include "protocol/byte_codec.h"

namespace kxprotocol {
namespace {

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

bool FitsLengthPrefix(const std::string& text) {
    return text.size() <= std::numeric_limits<uint16_t>::max();
}

// Writes the type and fields of one message; false when a text is too long to encode.
bool EncodeBody(const Message& message, ByteWriter& writer) {
    return std::visit(
        Overloaded{
            [&](const Login& login) {
                writer.U8(static_cast<uint8_t>(MessageType::kLogin));
                writer.U32(kMagic);
                writer.U16(login.version);
                writer.String(login.user);
                writer.String(login.password);
                return FitsLengthPrefix(login.user) && FitsLengthPrefix(login.password);
            },
            [&](const UpdateTarget& update) {
                writer.U8(static_cast<uint8_t>(MessageType::kUpdateTarget));
                writer.I32(update.targetId);
                writer.String(update.path);
                return FitsLengthPrefix(update.path);
            },
            [&](const LoginResult& result) {
                writer.U8(static_cast<uint8_t>(MessageType::kLoginResult));
                writer.U8(result.status);
                writer.U16(result.version);
                return true;
            },
            [&](const DataBegin& begin) {
                writer.U8(static_cast<uint8_t>(MessageType::kDataBegin));
                writer.U16(begin.adapterCount);
                writer.U16(begin.targetCount);
                return true;
            },
            [&](const Adapter& adapter) {
                writer.U8(static_cast<uint8_t>(MessageType::kAdapter));
                writer.String(adapter.name);
                writer.String(adapter.description);
                writer.String(adapter.mac);
                writer.String(adapter.ip);
                writer.Bool(adapter.connected);
                writer.Bool(adapter.dhcp);
                return FitsLengthPrefix(adapter.name) && FitsLengthPrefix(adapter.description) &&
                       FitsLengthPrefix(adapter.mac) && FitsLengthPrefix(adapter.ip);
            },
            [&](const Target& target) {
                writer.U8(static_cast<uint8_t>(MessageType::kTarget));
                writer.I32(target.id);
                writer.Bool(target.enabled);
                writer.String(target.path);
                return FitsLengthPrefix(target.path);
            },
            [&](const DataEnd&) {
                writer.U8(static_cast<uint8_t>(MessageType::kDataEnd));
                return true;
            },
            [&](const UpdateResult& result) {
                writer.U8(static_cast<uint8_t>(MessageType::kUpdateResult));
                writer.I32(result.targetId);
                writer.U8(static_cast<uint8_t>(result.status));
                writer.String(result.path);
                return FitsLengthPrefix(result.path);
            },
            [&](const CloseRequest&) {
                writer.U8(static_cast<uint8_t>(MessageType::kCloseRequest));
                return true;
            },
        },
        message);
}

int32_t TargetId(ByteReader& reader) {
    const int32_t id = reader.I32();
    if (id < 0) {
        reader.Fail("target id " + std::to_string(id) + " is negative");
    }
    return id;
}

// Reads the fields of a message of the given type; the reader holds the reason on failure.
Message DecodeBody(uint8_t type, ByteReader& reader) {
    switch (static_cast<MessageType>(type)) {
        case MessageType::kLogin: {
            Login login;
            if (reader.U32() != kMagic) {
                reader.Fail("login does not start with the protocol's magic number");
            }
            login.version = reader.U16();
            login.user = reader.String();
            login.password = reader.String();
            return login;
        }
        case MessageType::kUpdateTarget: {
            UpdateTarget update;
            update.targetId = TargetId(reader);
            update.path = reader.String();
            return update;
        }
        case MessageType::kLoginResult: {
            LoginResult result;
            result.status = reader.U8();
            result.version = reader.U16();
            return result;
        }
        case MessageType::kDataBegin: {
            DataBegin begin;
            begin.adapterCount = reader.U16();
            begin.targetCount = reader.U16();
            return begin;
        }
        case MessageType::kAdapter: {
            Adapter adapter;
            adapter.name = reader.String();
            adapter.description = reader.String();
            adapter.mac = reader.String();
            adapter.ip = reader.String();
            adapter.connected = reader.Bool();
            adapter.dhcp = reader.Bool();
            return adapter;
        }
        case MessageType::kTarget: {
            Target target;
            target.id = TargetId(reader);
            target.enabled = reader.Bool();
            target.path = reader.String();
            return target;
        }
        case MessageType::kDataEnd:
            return DataEnd{};
        case MessageType::kUpdateResult: {
            UpdateResult result;
            result.targetId = TargetId(reader);
            const uint8_t status = reader.U8();
            if (status > static_cast<uint8_t>(UpdateStatus::kUnknownTarget)) {
                reader.Fail("unknown update status " + std::to_string(status));
            }
            result.status = static_cast<UpdateStatus>(status);
            result.path = reader.String();
            return result;
        }
        case MessageType::kCloseRequest:
            return CloseRequest{};
    }
    reader.Fail("unknown message type " + std::to_string(type));
    return CloseRequest{};
}

}  // namespace

bool operator==(const Login& a, const Login& b) {
    return std::tie(a.version, a.user, a.password) == std::tie(b.version, b.user, b.password);
}
bool operator==(const UpdateTarget& a, const UpdateTarget& b) {
    return std::tie(a.targetId, a.path) == std::tie(b.targetId, b.path);
}
bool operator==(const LoginResult& a, const LoginResult& b) {
    return std::tie(a.status, a.version) == std::tie(b.status, b.version);
}
bool operator==(const DataBegin& a, const DataBegin& b) {
    return std::tie(a.adapterCount, a.targetCount) == std::tie(b.adapterCount, b.targetCount);
}
bool operator==(const Adapter& a, const Adapter& b) {
    return std::tie(a.name, a.description, a.mac, a.ip, a.connected, a.dhcp) ==
           std::tie(b.name, b.description, b.mac, b.ip, b.connected, b.dhcp);
}
bool operator==(const Target& a, const Target& b) {
    return std::tie(a.id, a.enabled, a.path) == std::tie(b.id, b.enabled, b.path);
}
bool operator==(const DataEnd&, const DataEnd&) {
    return true;
}
bool operator==(const UpdateResult& a, const UpdateResult& b) {
    return std::tie(a.targetId, a.status, a.path) == std::tie(b.targetId, b.status, b.path);
}
bool operator==(const CloseRequest&, const CloseRequest&) {
    return true;
}

bool Encode(const Message& message, std::vector<uint8_t>& out) {
    std::vector<uint8_t> body;
    ByteWriter bodyWriter(body);
    if (!EncodeBody(message, bodyWriter) || body.size() > kMaxBodySize) {
        return false;
    }
    ByteWriter frameWriter(out);
    frameWriter.U32(static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return true;
}

Decoded DecodeFrame(const uint8_t* data, std::size_t size) {
    Decoded decoded;
    if (size < kHeaderSize) {
        return decoded;
    }
    ByteReader header(data, kHeaderSize);
    const uint32_t bodySize = header.U32();
    if (bodySize == 0 || bodySize > kMaxBodySize) {
        decoded.status = DecodeStatus::kMalformed;
        decoded.error = "frame body of " + std::to_string(bodySize) + " bytes is outside 1.." +
                        std::to_string(kMaxBodySize);
        return decoded;
    }
    if (size - kHeaderSize < bodySize) {
        return decoded;
    }
    ByteReader reader(data + kHeaderSize, bodySize);
    const uint8_t type = reader.U8();
    decoded.message = DecodeBody(type, reader);
    if (reader.Ok() && reader.Remaining() != 0) {
        reader.Fail(std::to_string(reader.Remaining()) + " bytes left over after the message");
    }
    if (!reader.Ok()) {
        decoded.status = DecodeStatus::kMalformed;
        decoded.error = reader.Error();
        return decoded;
    }
    decoded.status = DecodeStatus::kComplete;
    decoded.frameSize = kHeaderSize + bodySize;
    return decoded;
}

const char* MessageName(const Message& message) {
    static const char* const kNames[] = {"login",      "update-target", "login-result",
                                         "data-begin", "adapter",       "target",
                                         "data-end",   "update-result", "close-request"};
    static_assert(std::size(kNames) == std::variant_size_v<Message>, "a name for every message");
    return kNames[message.index()];
}

}  // namespace kxprotocol
