// Shared set-up for the service's unit tests: captured log lines, a scratch working directory
// holding "vaultline.conf", the scripted SDK, and running code on the worker thread.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/logging.h"
#include "double/scripted_kxapi.h"
#include "double/shifted_clock.h"
#include "service/test_access.h"
#include "service/vaultline.h"
#include "support/child_process.h"

namespace vaultline {

namespace unit_support {

// Collects every log line as "SEVERITY message" while it exists; points `logger` at its own
// logger and restores the previous one at the end.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::vector<std::string> Lines() const;
    // Lines after the first `skip`, for checking what one step added.
    std::vector<std::string> LinesFrom(std::size_t skip) const;
    bool Contains(const std::string& line) const;
    // Waits (generously) until `line` has been logged.
    bool WaitFor(const std::string& line, std::chrono::milliseconds timeout) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class ServiceTest : public ::testing::Test {
protected:
    ServiceTest();
    ~ServiceTest() override;

    void WriteConfiguration(const std::string& xml);
    // A configuration with the target at 10.0.0.1:22609 and clients at 10.0.1.N (N from 1);
    // `clientsAttributes` (" Name='value'" ...) go on <ArchiveClients>.
    void WriteStandardConfiguration(int clientCount, const std::string& clientsAttributes = "");
    // Runs `work` on the worker thread and waits for it to finish.
    void OnWorker(const std::function<void()>& work);
    // Waits for `passes` complete socket-loop passes.
    void WaitForPasses(int passes = 2);
    // Worker thread, after Initialize with the target on connection 1. The target reports one
    // connected adapter at `ip` and discovery learns it, as at the target's login; a new address
    // has every client checked against it.
    void LearnTargetAddress(const std::string& ip);

    // The service's own delays and timeouts, but passes that wait 10 ms for their sockets, so
    // that a test waits less for the worker to take its next task.
    static ServiceTimes TestTimes();
    // A fresh service with a fresh scripted SDK, as after a restart, running on `times`.
    void Restart(const ServiceTimes& times = TestTimes());

    ServiceTestAccess Access() const { return ServiceTestAccess(*service); }
    Vaultline::Server& TargetServer() const { return Access().TargetRecord().server; }
    Vaultline::Server& ClientServer(std::size_t index) const {
        return Access().ClientRecord(index).server;
    }

    LogCapture log;
    testing_support::TempDirectory directory;
    std::filesystem::path previousDirectory;
    // The service's clock; tests move it forward instead of waiting out an interval.
    test_double::ShiftedClock clock;
    std::unique_ptr<Vaultline> service;
};

}  // namespace unit_support

}  // namespace vaultline
