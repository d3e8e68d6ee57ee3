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
    Vaultline::CbData& TargetRecord() const { return *service_.InstalledTarget(); }
    Vaultline::CbData& ClientRecord(std::size_t index) const {
        return *service_.InstalledClients()[index];
    }
    bool HasTarget() const { return service_.InstalledTarget() != nullptr; }
    std::size_t ClientCount() const { return service_.InstalledClients().size(); }
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
    std::unique_ptr<Vaultline::CbData> InitServer(Vaultline::Server& server) const {
        return service_.InitServer(server);
    }
    void QueueReconnect(Vaultline::Server& server, bool delayed) const {
        service_.QueueReconnect(server, delayed);
    }
    // Worker thread.
    void CloseServer(Vaultline::Server& server) const {
        AssertWorkerThread();
        service_.CloseServer(server);
    }
    // Drops every record, so that one service can read configuration after configuration.
    void DropRecords() const {
        MutexLock lock(service_.recordsMutex);
        service_.clients.clear();
        service_.target.reset();
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
