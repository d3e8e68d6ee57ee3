// A connection's life beside its opening: the records and their SDK instances, kept from one
// connection to the next, closing a connection, and the one end that every close, loss and stall
// shares.
#include <fcntl.h>
#include <unistd.h>

#include "base/logging.h"
#include "connections/connection_pool.h"
#include "sync/sdk_instance.h"

namespace vaultline {

ConnectionPool::ConnectionPool(ConnectionListener& listener, const Clock& clock,
                               const ConnectionTimes& times)
    : listener(listener), clock(clock), times(times) {
    spareDescriptor = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

ConnectionPool::~ConnectionPool() {
    {
        MutexLock lock(recordsMutex);
        clients.clear();
        target.reset();
    }
    if (spareDescriptor >= 0) {
        close(spareDescriptor);
    }
}

ServerRecord* ConnectionPool::Install(const ServerConfig& config) {
    ServerRecord server;
    server.config = config;
    auto record = InitServer(server);
    if (!record) {
        return nullptr;
    }
    MutexLock lock(recordsMutex);
    if (config.isTarget) {
        target = std::move(record);
        return &target->server;
    }
    record->server.place = clients.size();
    clients.push_back(std::move(record));
    return &clients.back()->server;
}

std::unique_ptr<CbData> ConnectionPool::InitServer(ServerRecord& server) {
    auto data = std::make_unique<CbData>(CbData{this, server});
    server.handle = NewSdkInstance(&KxapiCallback, data.get());
    if (!server.handle) {
        return nullptr;
    }
    data->server.handle = server.handle;
    return data;
}

std::size_t ConnectionPool::ClientCount() const {
    MutexLock lock(recordsMutex);
    return clients.size();
}

void* ConnectionPool::TargetHandle() const {
    MutexLock lock(recordsMutex);
    return target ? target->server.handle.get() : nullptr;
}

bool ConnectionPool::TargetIdle() const {
    MutexLock lock(recordsMutex);
    return target && target->server.link.Idle();
}

void ConnectionPool::EndConnection(ServerRecord& server) {
    ++server.link.connection;
    server.link.state = ConnState::Closed;
    listener.ConnectionEnded(server);
    server.link.awaiting = Awaiting::Nothing;
}

void ConnectionPool::CloseServer(ServerRecord& server, Severity severity) {
    BOOST_LOG_SEV(*logger, severity) << "closing connection to " << server.config;
    EndConnection(server);
    KXAPI_Close(server.handle.get());
}

void ConnectionPool::QueueClose(ServerRecord& server, Severity severity) {
    if (server.link.closeQueuedFor == server.link.connection) {
        return;
    }
    server.link.closeQueuedFor = server.link.connection;
    listener.ScheduleConnectionTask(
        [this, &server, connection = server.link.connection, severity] {
            AssertWorkerThread();
            if (server.link.connection == connection) {
                CloseServer(server, severity);
            }
        },
        false);
}

}  // namespace vaultline
