// The one way tests and benchmarks reach inside the service: its records, its address and the
// steps they drive one at a time. The service itself never includes this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "service/vaultline.h"

namespace vaultline {

// Holds a reference to the service; each call has the thread contract of the member it reaches,
// which the callers keep: the steps below tell the analysis so, as the worker's entry points do.
class ServiceTestAccess {
public:
    explicit ServiceTestAccess(Vaultline& service) : service_(service) {}

    // After Initialize. Records live as long as the service.
    CbData& TargetRecord() const { return *service_.pool.InstalledTarget(); }
    CbData& ClientRecord(std::size_t index) const {
        return *service_.pool.InstalledClients()[index];
    }
    bool HasTarget() const { return service_.pool.InstalledTarget() != nullptr; }
    std::size_t ClientCount() const { return service_.pool.InstalledClients().size(); }
    // Worker thread.
    const std::string& TargetAddress() const {
        AssertWorkerThread();
        return service_.watch.Address();
    }

    int64_t QueuedTasks() const { return service_.queuedTasks; }
    bool StopRequested() const { return service_.stopRequested; }
    std::thread::id WorkerId() const { return service_.worker.get_id(); }
    const StatusReport& Status() const { return service_.status; }

    void Schedule(const std::function<void()>& task, bool delayed) const {
        service_.Schedule(task, delayed);
    }
    void QueueReconnect(Vaultline::Server& server, bool delayed) const {
        service_.pool.QueueReconnect(server, delayed);
    }
    // While no pass or task runs: drops every record and everything that points at one, so that
    // one service can read configuration after configuration.
    void DropRecords() const NO_THREAD_SAFETY_ANALYSIS {
        ConnectionPool& pool = service_.pool;
        {
            MutexLock lock(pool.recordsMutex);
            pool.clients.clear();
            pool.target.reset();
        }
        pool.openClients.clear();
        pool.servedLastPass.clear();
        pool.passStart = 0;
        pool.progressDue.Clear();
        service_.confirmationsDue.Clear();
    }
    // Worker thread.
    void CloseServer(Vaultline::Server& server) const {
        AssertWorkerThread();
        service_.pool.CloseServer(server);
    }
    // Worker thread.
    std::string GetAdapterAddress(void* handle) const {
        AssertWorkerThread();
        return service_.watch.GetAdapterAddress(handle);
    }
    void DoGetAddress(Vaultline::Server& server) const {
        AssertWorkerThread();
        service_.watch.DoGetAddress(server.handle.get());
    }
    void VerifyClientTarget(Vaultline::Server& server) const {
        AssertWorkerThread();
        service_.rounds.VerifyClientTarget(Vaultline::RoundView(server));
    }

private:
    Vaultline& service_;
};

}  // namespace vaultline
