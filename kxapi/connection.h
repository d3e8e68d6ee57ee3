// One non-blocking TCP connection of an SDK handle: connecting, queued output, buffered input.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kxapi {

// Output a handle may hold before queueing more is refused; bounds memory when nobody sends.
constexpr std::size_t kMaxQueuedOutput = 16 * 1024 * 1024;

class Connection {
public:
    Connection() = default;
    ~Connection() { Drop(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Drops any current connection, resolves `address` (numeric or a host name) and starts a
    // non-blocking connect to the first address that does not fail at once. False when none
    // can be tried.
    bool Start(const char* address, unsigned short port);
    // Closes the socket and forgets queued output and buffered input.
    void Drop();

    bool IsOpen() const { return fd_ >= 0; }
    bool IsConnecting() const { return connecting_; }
    int Fd() const { return fd_; }
    // Changes whenever the connection is started or dropped, so a caller that ran user code can
    // tell whether the connection it was working on is still the current one.
    uint64_t Generation() const { return generation_; }
    bool HasQueuedOutput() const { return output_.size() > outputSent_; }

    // Appends a frame to the output; false, queueing nothing, when that would exceed
    // kMaxQueuedOutput.
    bool Queue(const std::vector<uint8_t>& frame);

    // Finishes a connect in progress when the socket is ready, moving on to the next resolved
    // address if this one failed. False when the connection failed; it is dropped then.
    bool CompleteConnect();
    // Writes queued output until the socket would block. False on a socket error (dropped).
    bool Flush();

    enum class ReadResult { kData, kWouldBlock, kEof, kError };
    // One read into the input buffer. Callers process complete frames between reads, so the
    // buffer never holds more than one partial frame plus one read.
    ReadResult ReadSome();
    const uint8_t* Unprocessed() const { return input_.data() + inputConsumed_; }
    std::size_t UnprocessedSize() const { return input_.size() - inputConsumed_; }
    void Consume(std::size_t count) { inputConsumed_ += count; }

private:
    struct Address {
        sockaddr_storage storage;
        socklen_t length;
    };

    bool ConnectToNextAddress();
    void CloseSocket();
    void ClearOutput();

    int fd_ = -1;
    bool connecting_ = false;
    uint64_t generation_ = 0;
    std::vector<Address> addresses_;
    std::size_t nextAddress_ = 0;
    std::vector<uint8_t> output_;
    std::size_t outputSent_ = 0;
    std::vector<uint8_t> input_;
    std::size_t inputConsumed_ = 0;
};

}  // namespace kxapi
