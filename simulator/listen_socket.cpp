// Listener sockets: numeric address parsing, bind, listen and the port the kernel chose.
#include "listen_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace simulator {

Listener OpenListener(const std::string& address, uint16_t port) {
    Listener listener;
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof(sockaddr_in6);
    } else {
        listener.error = "\"" + address + "\" is not a numeric IPv4 or IPv6 address";
        return listener;
    }

    const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        listener.error = std::string("socket: ") + std::strerror(errno);
        return listener;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (storage.ss_family == AF_INET6) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 ||
        listen(fd, SOMAXCONN) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        listener.error = "cannot listen on " + address + " port " + std::to_string(port) + ": " +
                         std::strerror(errno);
        close(fd);
        return listener;
    }
    listener.fd = fd;
    listener.port = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
    return listener;
}

}  // namespace simulator
