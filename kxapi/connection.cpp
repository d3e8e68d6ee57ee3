// Socket work of an SDK connection: resolving, non-blocking connect, writing, reading.
#include "connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>

#include "protocol/messages.h"

namespace kxapi {

bool Connection::Start(const char* address, unsigned short port) {
    Drop();
    addresses_.clear();
    nextAddress_ = 0;
    if (address == nullptr || *address == '\0') {
        return false;
    }
    switch (ResolveNumeric(address, port, addresses_)) {
        case HostKind::kNumeric:
            return ConnectToNextAddress();
        case HostKind::kName:
            return lookup_.Start(address, port);
        case HostKind::kInvalid:
            break;
    }
    return false;
}

bool Connection::FinishLookup() {
    std::optional<std::vector<ResolvedAddress>> answer = lookup_.TakeAnswer();
    if (!answer) {
        return true;
    }
    addresses_ = std::move(*answer);
    nextAddress_ = 0;
    return ConnectToNextAddress();
}

bool Connection::ConnectToNextAddress() {
    while (nextAddress_ < addresses_.size()) {
        const ResolvedAddress& address = addresses_[nextAddress_++];
        fd_ = socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            continue;
        }
        const int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (connect(fd_, reinterpret_cast<const sockaddr*>(&address.storage), address.length) ==
            0) {
            connecting_ = false;
            return true;
        }
        if (errno == EINPROGRESS) {
            connecting_ = true;
            return true;
        }
        CloseSocket();
    }
    Drop();
    return false;
}

void Connection::CloseSocket() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    connecting_ = false;
}

void Connection::ClearOutput() {
    // Queued output may hold a login password, so the queued bytes are zeroed before they go.
    // That is all the scrubbing there is: the copies a growing buffer leaves behind when it
    // reallocates (here, and in the login's encoding), the stale tail left when Queue compacts
    // the buffer, the login's own strings and the kernel's socket buffers are not zeroed.
    std::fill(output_.begin(), output_.end(), 0);
    output_.clear();
    if (output_.capacity() > kxprotocol::kMaxFrameSize) {
        output_.shrink_to_fit();  // a burst of updates should not pin its memory
    }
    outputSent_ = 0;
}

void Connection::Drop() {
    CloseSocket();
    lookup_.Abandon();
    ClearOutput();
    input_.clear();
    inputConsumed_ = 0;
    ++generation_;
}

bool Connection::Queue(const std::vector<uint8_t>& frame) {
    if (output_.size() - outputSent_ + frame.size() > kMaxQueuedOutput) {
        return false;
    }
    if (outputSent_ > 0 && outputSent_ >= output_.size() / 2) {
        std::fill(output_.begin(), output_.begin() + outputSent_, 0);
        output_.erase(output_.begin(), output_.begin() + outputSent_);
        outputSent_ = 0;
    }
    output_.insert(output_.end(), frame.begin(), frame.end());
    return true;
}

bool Connection::CompleteConnect() {
    if (!connecting_) {
        return IsOpen();
    }
    pollfd ready{fd_, POLLOUT, 0};
    const int polled = poll(&ready, 1, 0);
    if (polled == 0 || (polled < 0 && errno == EINTR)) {
        return true;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (polled < 0 || getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        error = errno;
    }
    if (error == 0) {
        connecting_ = false;
        return true;
    }
    CloseSocket();
    return ConnectToNextAddress();
}

bool Connection::Flush() {
    while (HasQueuedOutput()) {
        const ssize_t sent = send(fd_, output_.data() + outputSent_, output_.size() - outputSent_,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            outputSent_ += static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        }
        Drop();
        return false;
    }
    ClearOutput();
    return true;
}

Connection::ReadResult Connection::ReadSome() {
    if (inputConsumed_ > 0) {
        input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(inputConsumed_));
        inputConsumed_ = 0;
    }
    // Shared scratch space, so an idle handle keeps no more than its partial frame.
    thread_local std::vector<uint8_t> scratch(kxprotocol::kMaxFrameSize);
    for (;;) {
        const ssize_t received = recv(fd_, scratch.data(), scratch.size(), MSG_DONTWAIT);
        if (received > 0) {
            input_.insert(input_.end(), scratch.begin(), scratch.begin() + received);
            return ReadResult::kData;
        }
        if (received == 0) {
            return ReadResult::kEof;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK ? ReadResult::kWouldBlock
                                                       : ReadResult::kError;
    }
}

}  // namespace kxapi
