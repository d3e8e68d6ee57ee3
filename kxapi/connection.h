// One non-blocking TCP connection of an SDK handle: connecting, queued output, buffered input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "name_lookup.h"

namespace kxapi {

// Output a handle may hold before queueing more is refused; bounds memory when nobody sends.
constexpr std::size_t kMaxQueuedOutput = 16 * 1024 * 1024;

class Connection {
public:
    Connection() = default;
    ~Connection() { Drop(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Drops any current connection. For a numeric address, starts a non-blocking connect to the
    // first of its addresses that does not fail at once; for a host name, starts looking it up
    // and returns at once (FinishLookup goes on from there). False when nothing can be tried.
    bool Start(const char* address, unsigned short port);
    // Closes the socket, abandons a lookup and forgets queued output and buffered input.
    void Drop();

    // True from a successful Start until the connection is dropped, the lookup included.
    bool IsOpen() const { return fd_ >= 0 || lookup_.Pending(); }
    bool IsResolving() const { return lookup_.Pending(); }
    bool IsConnecting() const { return connecting_; }
    // The socket; while the name is being looked up, a descriptor that becomes readable when
    // the answer is in.
    int Fd() const { return fd_ >= 0 ? fd_ : lookup_.Fd(); }
    // Changes whenever the connection is started or dropped, so a caller that ran user code can
    // tell whether the connection it was working on is still the current one.
    uint64_t Generation() const { return generation_; }
    bool HasQueuedOutput() const { return output_.size() > outputSent_; }

    // Appends a frame to the output; false, queueing nothing, when that would exceed
    // kMaxQueuedOutput.
    bool Queue(const std::vector<uint8_t>& frame);

    // Takes the lookup's answer if it is in and starts connecting to it. False when the name did
    // not resolve or none of its addresses could be tried; the connection is dropped then.
    bool FinishLookup();
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
    bool ConnectToNextAddress();
    void CloseSocket();
    void ClearOutput();

    int fd_ = -1;
    bool connecting_ = false;
    uint64_t generation_ = 0;
    NameLookup lookup_;
    std::vector<ResolvedAddress> addresses_;
    std::size_t nextAddress_ = 0;
    std::vector<uint8_t> output_;
    std::size_t outputSent_ = 0;
    std::vector<uint8_t> input_;
    std::size_t inputConsumed_ = 0;
};

}  // namespace kxapi
