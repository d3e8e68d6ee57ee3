// Host name lookups off the caller's thread: a few threads of the library's own ask the resolver,
// and a descriptor per lookup tells the caller's event loop when the answer is in.
#pragma once

#include <sys/socket.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kxapi {

// One address to try, as the resolver gives it.
struct ResolvedAddress {
    sockaddr_storage storage;
    socklen_t length;
};

enum class HostKind {
    kNumeric,  // an IPv4 or IPv6 address, resolved at once
    kName,     // a name, to be looked up
    kInvalid,  // neither could be told (out of memory, say)
};

// Fills `addresses` when `host` is a numeric address, without asking any resolver.
HostKind ResolveNumeric(const char* host, unsigned short port,
                        std::vector<ResolvedAddress>& addresses);

// What one handle shares with the lookup threads.
struct LookupSlot;

// The name lookups of one SDK handle. The handle's own thread only. At most one lookup per handle
// is ever with the resolver: one started while an abandoned one is still there waits until that
// one returns, so a flood of opens and closes adds neither threads nor memory. Nothing here ever
// waits for the resolver.
class NameLookup {
public:
    NameLookup() = default;
    ~NameLookup() { Abandon(); }
    NameLookup(const NameLookup&) = delete;
    NameLookup& operator=(const NameLookup&) = delete;

    // Starts looking `host` up for `port`, abandoning the lookup before. False, with nothing
    // pending, when no descriptor or no thread can be had.
    bool Start(const std::string& host, unsigned short port);
    // Forgets the pending lookup; its answer is thrown away when it comes.
    void Abandon();
    bool Pending() const { return fd_ >= 0; }
    // Becomes readable when the pending lookup's answer is in; -1 when none is pending. A new
    // descriptor for every lookup: callers look it up again for each wait.
    int Fd() const { return fd_; }
    // The answer once it is in (empty when the name did not resolve), which ends the lookup;
    // nothing while it is still on its way.
    std::optional<std::vector<ResolvedAddress>> TakeAnswer();

private:
    std::shared_ptr<LookupSlot> slot_;  // made by the first Start, kept for the next ones
    int fd_ = -1;                       // the pending lookup's descriptor; slot_ owns it
};

}  // namespace kxapi
