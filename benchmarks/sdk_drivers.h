// The same work as the service, done directly on libkxAPI: yardsticks for the service's figures.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "bench_fleet.h"

namespace bench {

// A login to the target kept open between rounds, reporting each new data set.
class TargetWatch {
public:
    // Logs in and loads the data; throws std::runtime_error when that fails.
    TargetWatch(unsigned short port, const Credentials& credentials);
    ~TargetWatch();
    TargetWatch(const TargetWatch&) = delete;
    TargetWatch& operator=(const TargetWatch&) = delete;

    // Waits for the next data set and returns its first connected adapter's address; empty when
    // none came within `timeout` or the connection ended.
    std::string WaitForNextDataSet(std::chrono::seconds timeout);

    struct State {
        int dataSets = 0;
        bool failed = false;
    };

private:
    void* handle_ = nullptr;
    State state_;
};

struct DriverResult {
    int updated = 0;  // clients whose path was rewritten and acknowledged
    int failed = 0;   // clients that could not be logged in to or updated, or timed out
};

// Every client at once in one epoll loop: no logging, no timers, nothing but the protocol.
DriverResult UpdateAllAtOnce(const std::vector<unsigned short>& ports,
                             const Credentials& credentials, const std::string& address,
                             std::chrono::seconds timeout);

// One client after another, each to its end, as a simple script would.
DriverResult UpdateOneAfterAnother(const std::vector<unsigned short>& ports,
                                   const Credentials& credentials, const std::string& address,
                                   std::chrono::seconds timeout);

}  // namespace bench
