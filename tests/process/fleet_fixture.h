// The real vaultline against a simulated fleet, in a scratch directory: the fleet's servers, the
// configuration written for them, and the service's start and clean stop.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/simulator_harness.h"

namespace process_support {

// A program to run vaultline under (e.g. valgrind's full path and options), from
// VAULTLINE_TEST_WRAPPER; words separated by spaces. Empty when unset.
std::vector<std::string> Wrapper();

// A wrapped service runs many times slower; its deadlines stretch with it.
extern const int kSlowdown;
extern const std::chrono::milliseconds kJobTimeout;

// A target whose DHCP adapter "eth0" has `ip`, beside a loopback adapter.
testing_support::FleetServer TargetServer(const std::string& ip);
// A client on a loopback address of its own, so log lines name it unambiguously; its enabled
// target 7 holds `path`, beside a disabled target 1.
testing_support::FleetServer ClientServer(const std::string& name, const std::string& address,
                                          const std::string& path);

// The simulator with a fleet, and vaultline configured for it, running in a scratch directory.
class EndToEnd : public ::testing::Test {
protected:
    // `clientsAttributes` (" Name=\"value\"" ...) go on <ArchiveClients>; `rootElements` are
    // written under the root after it.
    void Start(std::vector<testing_support::FleetServer> servers,
               const std::string& clientsAttributes = "", const std::string& rootElements = "");

    // Ends the service and the simulator of a case before a test's next case starts its own.
    void EndCase();

    bool LogShows(const std::string& text);

    void StopAndExpectCleanEnd();

    std::vector<testing_support::FleetServer> fleet;
    std::unique_ptr<testing_support::Simulator> simulator;
    testing_support::TempDirectory directory;
    std::unique_ptr<testing_support::ChildProcess> service;
};

}  // namespace process_support
