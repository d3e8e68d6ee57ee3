// A service object for fuzzers: its worker stopped, its log lines formatted and dropped.
#pragma once

#include <cstdint>
#include <memory>

#include "service/vaultline.h"

namespace vaultline::fuzz_support {

// Routes `logger` through a sink that formats every record and discards it, so log statements
// run in full on fuzzed texts. Idempotent.
void InstallDiscardingLog();

// Owns a Vaultline whose worker thread has been stopped: the fuzzer calls the service's members
// on its own thread, and whatever they queue is never run. Starting a service costs a thread and
// often its first 100 ms socket pass, so one serves many inputs and is replaced now and then,
// which drops what it queued. The scripted SDK is reset with each new service, so its first
// KXAPI_Init is connection 1. Meant to live until the process exits: it is never destroyed, as
// the scripted SDK may be gone by then.
class ParkedService {
public:
    // `recycleAfter` calls to Next() share one service.
    explicit ParkedService(uint64_t recycleAfter);

    // True when the next call to Next() replaces the service; any record holding an SDK handle
    // made with the current one must be dropped first.
    bool Due() const;
    // The service for the next input.
    Vaultline& Next();

private:
    uint64_t recycleAfter_;
    uint64_t served_ = 0;
    std::unique_ptr<Vaultline> service_;
};

}  // namespace vaultline::fuzz_support
