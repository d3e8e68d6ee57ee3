// Accepting connections, serving and changing one server's data, fanning changes out to sessions.
#include "archive_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "event_log.h"
#include "server_session.h"
#include "state_file.h"

namespace simulator {
namespace {

constexpr int kMaxAcceptsPerWakeup = 64;
constexpr std::chrono::milliseconds kAcceptPauseWhenOutOfDescriptors{100};

}  // namespace

ArchiveServer::ArchiveServer(EventLoop& loop, ServerConfig config, Listener listener,
                             std::function<void()> onDataChanged)
    : loop_(loop),
      config_(std::move(config)),
      behaviour_(std::make_shared<const ServerBehaviour>(config_.behaviour)),
      listenFd_(listener.fd),
      port_(listener.port),
      random_(config_.behaviour.seed),
      onDataChanged_(std::move(onDataChanged)) {}

ArchiveServer::~ArchiveServer() {
    loop_.Cancel(acceptResume_);
    for (const auto& session : SessionsSnapshot()) {
        session->End();
    }
    loop_.Unwatch(listenFd_);
    close(listenFd_);
}

bool ArchiveServer::StartAccepting() {
    return loop_.Watch(listenFd_, EPOLLIN, [this](uint32_t) { Accept(); });
}

void ArchiveServer::Accept() {
    for (int accepted = 0; accepted < kMaxAcceptsPerWakeup; ++accepted) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                PrintProblem("server " + config_.name + ": cannot accept: " + std::strerror(errno));
                PauseAccepting();
            }
            return;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const uint64_t id = nextSessionId_++;
        auto session = std::make_shared<ServerSession>(loop_, *this, fd, id, behaviour_);
        sessions_.emplace(id, session);
        session->Start();
    }
}

// Level-triggered epoll would report the waiting connection again at once, so the listener is
// muted for a moment instead of spinning.
void ArchiveServer::PauseAccepting() {
    loop_.Modify(listenFd_, 0);
    loop_.Cancel(acceptResume_);
    acceptResume_ = loop_.After(kAcceptPauseWhenOutOfDescriptors, [this] {
        acceptResume_ = 0;
        loop_.Modify(listenFd_, EPOLLIN);
    });
}

bool ArchiveServer::Reconfigure(const ServerConfig& config) {
    const bool dataChanged =
        config.adapters != config_.adapters || config.targets != config_.targets;
    if (config.behaviour.seed != config_.behaviour.seed) {
        random_.seed(config.behaviour.seed);
    }
    config_.behaviour = config.behaviour;
    behaviour_ = std::make_shared<const ServerBehaviour>(config.behaviour);
    config_.adapters = config.adapters;
    config_.targets = config.targets;
    stateElementStale_ = true;
    if (dataChanged) {
        PushDataToSessions(0);
    }
    return dataChanged;
}

const std::string& ArchiveServer::StateElement() {
    if (stateElementStale_) {
        stateElement_ = RenderServerState(config_, port_);
        stateElementStale_ = false;
    }
    return stateElement_;
}

double ArchiveServer::NextRandom() {
    // 53 random bits scaled to [0,1): the same sequence for a seed on every platform.
    return static_cast<double>(random_() >> 11) * 0x1.0p-53;
}

std::vector<kxprotocol::Message> ArchiveServer::DataMessages() const {
    std::vector<kxprotocol::Message> messages;
    messages.reserve(config_.adapters.size() + config_.targets.size() + 2);
    messages.push_back(kxprotocol::DataBegin{static_cast<uint16_t>(config_.adapters.size()),
                                             static_cast<uint16_t>(config_.targets.size())});
    for (const AdapterConfig& adapter : config_.adapters) {
        messages.push_back(kxprotocol::Adapter{adapter.name, adapter.description, adapter.mac,
                                               adapter.ip, adapter.connected, adapter.dhcp});
    }
    for (const TargetConfig& target : config_.targets) {
        messages.push_back(kxprotocol::Target{target.id, target.enabled, target.path});
    }
    messages.push_back(kxprotocol::DataEnd{});
    return messages;
}

kxprotocol::UpdateResult ArchiveServer::ApplyUpdate(const kxprotocol::UpdateTarget& update,
                                                    bool reject, uint64_t fromSession) {
    kxprotocol::UpdateResult result{update.targetId, kxprotocol::UpdateStatus::kRejected, {}};
    TargetConfig* target = nullptr;
    for (TargetConfig& candidate : config_.targets) {
        if (candidate.id == update.targetId) {
            target = &candidate;
        }
    }
    const bool applies =
        target != nullptr && !reject && !update.path.empty() && update.path.size() <= kMaxTextBytes;
    if (target == nullptr) {
        result.status = kxprotocol::UpdateStatus::kUnknownTarget;
    } else if (applies) {
        target->path = update.path;
        result.status = kxprotocol::UpdateStatus::kApplied;
        stateElementStale_ = true;
    }
    if (target != nullptr) {
        result.path = target->path;
    }
    PrintEvent("update name=" + LineValue(config_.name) +
               " target=" + std::to_string(update.targetId) + " path=" + LineValue(update.path) +
               " result=" + (applies ? "applied" : "rejected"));
    if (applies) {
        onDataChanged_();
        PushDataToSessions(fromSession);
    }
    return result;
}

std::vector<std::shared_ptr<ServerSession>> ArchiveServer::SessionsSnapshot() const {
    std::vector<std::shared_ptr<ServerSession>> snapshot;
    snapshot.reserve(sessions_.size());
    for (const auto& entry : sessions_) {
        snapshot.push_back(entry.second);
    }
    return snapshot;
}

// Works on a snapshot: a session whose output overflows ends and leaves the map meanwhile.
void ArchiveServer::PushDataToSessions(uint64_t exceptSession) {
    int pushed = 0;
    for (const auto& session : SessionsSnapshot()) {
        if (session->Id() != exceptSession && session->LoggedIn()) {
            session->SendData();
            ++pushed;
        }
    }
    if (pushed > 0) {
        PrintEvent("push name=" + LineValue(config_.name) + " sessions=" + std::to_string(pushed));
    }
}

}  // namespace simulator
