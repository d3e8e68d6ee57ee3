// The fake server's sockets: listen, accept, frame-wise reading, raw writes.
#include "fake_server.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace kxapi_testing {

FakeServer::FakeServer(int receiveBuffer) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) {
        // Set on the listener so the accepted socket starts with it.
        setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(listener_);
        throw std::runtime_error("fake server cannot listen");
    }
    port_ = ntohs(address.sin_port);
}

FakeServer::~FakeServer() {
    Close();
    close(listener_);
}

bool FakeServer::Accept(std::chrono::milliseconds timeout) {
    pollfd ready{listener_, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(timeout.count())) != 1) {
        return false;
    }
    connection_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return connection_ >= 0;
}

std::optional<kxprotocol::Message> FakeServer::Read(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const kxprotocol::Decoded decoded = kxprotocol::DecodeFrame(input_.data(), input_.size());
        if (decoded.status == kxprotocol::DecodeStatus::kComplete) {
            input_.erase(input_.begin(), input_.begin() + static_cast<long>(decoded.frameSize));
            return decoded.message;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{connection_, POLLIN, 0};
        if (decoded.status == kxprotocol::DecodeStatus::kMalformed || left.count() <= 0 ||
            poll(&ready, 1, static_cast<int>(left.count())) != 1) {
            return std::nullopt;
        }
        uint8_t buffer[4096];
        const ssize_t received = recv(connection_, buffer, sizeof buffer, 0);
        if (received <= 0) {
            return std::nullopt;
        }
        input_.insert(input_.end(), buffer, buffer + received);
    }
}

void FakeServer::Send(const std::vector<uint8_t>& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t written =
            send(connection_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (written <= 0) {
            throw std::runtime_error("fake server cannot send");
        }
        sent += static_cast<std::size_t>(written);
    }
}

void FakeServer::Send(const kxprotocol::Message& message) {
    Send(Encoded({message}));
}

void FakeServer::Close() {
    if (connection_ >= 0) {
        close(connection_);
        connection_ = -1;
    }
}

std::vector<uint8_t> Encoded(const std::vector<kxprotocol::Message>& messages) {
    std::vector<uint8_t> bytes;
    for (const kxprotocol::Message& message : messages) {
        if (!kxprotocol::Encode(message, bytes)) {
            throw std::runtime_error("cannot encode a test message");
        }
    }
    return bytes;
}

}  // namespace kxapi_testing
