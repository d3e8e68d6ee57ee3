// Opening a non-blocking TCP listener on a numeric address.
#pragma once

#include <cstdint>
#include <string>

namespace simulator {

struct Listener {
    int fd = -1;        // -1 when opening failed
    uint16_t port = 0;  // the port actually bound
    std::string error;  // why, when opening failed
};

// Binds `address` (numeric IPv4 or IPv6) and `port` (0: any free port) and listens.
Listener OpenListener(const std::string& address, uint16_t port);

}  // namespace simulator
