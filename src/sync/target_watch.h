// The target watch: the archive target's address, learned from its own adapter report, its one
// pending discovery, and the recheck that waits for the adapters to be read again.
#pragma once

#include <functional>
#include <string>

#include "base/logging.h"
#include "base/mutex.h"
#include "base/pending_slot.h"
#include "sync/client_rounds.h"

namespace vaultline {

// What the watch asks of the rest of the service. Worker thread only.
class TargetWatchListener {
public:
    // Runs `task` on the worker thread, at once or after the retry delay.
    virtual void ScheduleDiscovery(const std::function<void()>& task, bool delayed)
        REQUIRES(workerThread) = 0;
    // The watch now holds `address`, learned or changed from `previous` (empty when first
    // learned): for the on-change command and the status line and file.
    virtual void AddressChanged(const std::string& previous, const std::string& address)
        REQUIRES(workerThread) = 0;
    // Every client is to be checked against the watch's address.
    virtual void CheckClients(RoundReason reason) REQUIRES(workerThread) = 0;

protected:
    ~TargetWatchListener() = default;
};

class TargetWatch {
public:
    explicit TargetWatch(TargetWatchListener& listener) : listener(listener) {}

    // The target's address as last discovered; empty until then.
    const std::string& Address() const REQUIRES(workerThread) { return targetAddress; }
    // A recheck waits for the target's adapters to be read.
    bool RecheckWanted() const REQUIRES(workerThread) { return recheckWanted; }

    // Runs discovery on the target (SDK instance `handle`) at once, or after the retry delay,
    // unless a run is already pending; an immediate request replaces a pending delayed one.
    void QueueDiscovery(void* handle, bool delayed) REQUIRES(workerThread);
    // A recheck: the target's adapters are read again (at once when `targetIdle`, its connection
    // logged in with nothing awaited, else at its next data) and, if its address is unchanged,
    // every client is checked. A changed address starts an address-change round instead.
    void RequestRecheck(void* handle, bool targetIdle) REQUIRES(workerThread);

private:
    friend class ServiceTestAccess;

    // The IP text of the connected adapter to use (DHCP preferred), or "" after a logged
    // failure.
    std::string GetAdapterAddress(void* handle) REQUIRES(workerThread);
    // Learns the target's address and has every client checked when it is new or has changed,
    // telling the on-change command; retries after the retry delay while there is none.
    void DoGetAddress(void* handle) REQUIRES(workerThread);

    TargetWatchListener& listener;
    std::string targetAddress GUARDED_BY(workerThread);
    bool recheckWanted GUARDED_BY(workerThread) = false;
    // The target's one pending discovery.
    PendingSlot discovery GUARDED_BY(workerThread);
};

}  // namespace vaultline
