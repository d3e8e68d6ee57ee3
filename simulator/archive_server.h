// One simulated archive server: its listener, its live data and its connected sessions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "event_loop.h"
#include "fleet_config.h"
#include "listen_socket.h"
#include "protocol/messages.h"

namespace simulator {

class ServerSession;

class ArchiveServer {
public:
    // Takes ownership of the listening socket. `onDataChanged` runs after an applied update.
    ArchiveServer(EventLoop& loop, ServerConfig config, Listener listener,
                  std::function<void()> onDataChanged);
    // Ends every session and closes the listener.
    ~ArchiveServer();
    ArchiveServer(const ArchiveServer&) = delete;
    ArchiveServer& operator=(const ArchiveServer&) = delete;

    bool StartAccepting();
    const std::string& Name() const { return config_.name; }
    // The configuration with the targets as currently applied.
    const ServerConfig& Config() const { return config_; }
    uint16_t Port() const { return port_; }
    // This server's element of the state file, rendered again only after its targets changed.
    const std::string& StateElement();

    // Takes new credentials and behaviour (for connections accepted from now on) and new
    // adapters and targets. Logged-in sessions get the data again when adapters or targets
    // changed; returns whether they did.
    bool Reconfigure(const ServerConfig& config);

    // For the sessions.
    double NextRandom();  // in [0,1), from the generator seeded with the configured seed
    std::vector<kxprotocol::Message> DataMessages() const;
    kxprotocol::UpdateResult ApplyUpdate(const kxprotocol::UpdateTarget& update, bool reject,
                                         uint64_t fromSession);
    void SessionEnded(uint64_t id) { sessions_.erase(id); }

private:
    void Accept();
    void PauseAccepting();
    void PushDataToSessions(uint64_t exceptSession);
    std::vector<std::shared_ptr<ServerSession>> SessionsSnapshot() const;

    EventLoop& loop_;
    ServerConfig config_;
    std::shared_ptr<const ServerBehaviour> behaviour_;
    int listenFd_;
    uint16_t port_;
    std::mt19937_64 random_;
    std::function<void()> onDataChanged_;
    uint64_t nextSessionId_ = 1;
    std::unordered_map<uint64_t, std::shared_ptr<ServerSession>> sessions_;
    EventLoop::TimerId acceptResume_ = 0;
    std::string stateElement_;
    bool stateElementStale_ = true;
};

}  // namespace simulator
