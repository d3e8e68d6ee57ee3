// One client connection to a simulated server: login, data, updates, delays and drops.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "event_loop.h"
#include "fleet_config.h"
#include "protocol/messages.h"

namespace simulator {

class ArchiveServer;

class ServerSession : public std::enable_shared_from_this<ServerSession> {
public:
    // Takes ownership of the connected socket; `behaviour` stays fixed for this connection.
    ServerSession(EventLoop& loop, ArchiveServer& server, int fd, uint64_t id,
                  std::shared_ptr<const ServerBehaviour> behaviour);
    ~ServerSession();
    ServerSession(const ServerSession&) = delete;
    ServerSession& operator=(const ServerSession&) = delete;

    void Start();
    // Closes the connection now and prints the disconnect line; later calls do nothing.
    void End();

    uint64_t Id() const { return id_; }
    bool LoggedIn() const { return loggedIn_ && !ended_; }
    // Sends the server's whole data set (after the reply delay).
    void SendData();

private:
    void OnEvents(uint32_t events);
    void ReadInput();
    void WriteOutput();
    void Handle(kxprotocol::Message&& message);
    void HandleLogin(const kxprotocol::Login& login);
    void HandleUpdate(const kxprotocol::UpdateTarget& update);
    uint8_t DecideLogin(const kxprotocol::Login& login);
    void ScheduleDrop();
    void Reply(const kxprotocol::Message& message);
    // Output leaves at the end of the loop's turn, after the fleet saved any update applied in
    // it, and in one send for everything the turn queued.
    void Queue(const std::vector<uint8_t>& frame);
    void ReleaseDelayedReplies();
    void WatchForWrites();
    void Fail(const std::string& problem);

    EventLoop& loop_;
    ArchiveServer& server_;
    int fd_;
    uint64_t id_;
    std::shared_ptr<const ServerBehaviour> behaviour_;
    bool loginSeen_ = false;
    bool loggedIn_ = false;
    bool endWhenFlushed_ = false;
    bool ended_ = false;
    bool watchingWrites_ = false;
    bool flushPending_ = false;  // a flush is deferred to the end of this turn
    std::vector<uint8_t> input_;
    std::vector<uint8_t> output_;
    std::size_t outputSent_ = 0;
    std::deque<std::pair<EventLoop::Clock::time_point, std::vector<uint8_t>>> delayed_;
    EventLoop::TimerId delayTimer_ = 0;
    EventLoop::TimerId dropTimer_ = 0;
};

}  // namespace simulator
