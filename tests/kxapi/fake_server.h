// A raw-socket server for tests that need the SDK to meet bytes the simulator never sends.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/messages.h"

namespace kxapi_testing {

// Listens on 127.0.0.1, serves one connection, driven step by step from the test's thread.
class FakeServer {
public:
    // A nonzero `receiveBuffer` shrinks the connection's receive buffer, so a client's writes
    // back up quickly.
    explicit FakeServer(int receiveBuffer = 0);
    ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    unsigned Port() const { return port_; }
    bool Accept(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The next complete frame from the client; nothing on timeout, end of stream or bad bytes.
    std::optional<kxprotocol::Message> Read(
        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void Send(const std::vector<uint8_t>& bytes);
    void Send(const kxprotocol::Message& message);
    // Closes the connection; the listener stays.
    void Close();

private:
    int listener_ = -1;
    int connection_ = -1;
    unsigned port_ = 0;
    std::vector<uint8_t> input_;
};

std::vector<uint8_t> Encoded(const std::vector<kxprotocol::Message>& messages);

}  // namespace kxapi_testing
