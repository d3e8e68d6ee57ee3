// The server side of the protocol for one connection, with the fleet file's misbehaviour knobs.
#include "server_session.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "archive_server.h"
#include "event_log.h"

namespace simulator {
namespace {

constexpr int kMaxReadsPerWakeup = 8;
// A client that stops reading is cut off rather than buffered for without end. A whole data set
// is queued at once, so the bound holds the largest one a handle accepts (16 MiB of text and the
// framing of 65,535 adapters and targets) with room for more replies behind it.
constexpr std::size_t kMaxQueuedOutput = 32 * 1024 * 1024;
// Without dropAfterLoginMs, a random drop happens within this long after login.
constexpr uint64_t kRandomDropWindowMs = 1000;

}  // namespace

ServerSession::ServerSession(EventLoop& loop, ArchiveServer& server, int fd, uint64_t id,
                             std::shared_ptr<const ServerBehaviour> behaviour)
    : loop_(loop), server_(server), fd_(fd), id_(id), behaviour_(std::move(behaviour)) {}

ServerSession::~ServerSession() {
    if (!ended_) {
        loop_.Cancel(delayTimer_);
        loop_.Cancel(dropTimer_);
        loop_.Forget(fd_);
        close(fd_);
    }
}

void ServerSession::Start() {
    const std::weak_ptr<ServerSession> weak = weak_from_this();
    const bool watched = loop_.Watch(fd_, EPOLLIN, [weak](uint32_t events) {
        if (const auto self = weak.lock()) {
            self->OnEvents(events);
        }
    });
    if (!watched) {
        Fail("cannot watch a new connection");
    }
}

void ServerSession::End() {
    if (ended_) {
        return;
    }
    ended_ = true;
    loop_.Cancel(delayTimer_);
    loop_.Cancel(dropTimer_);
    loop_.Forget(fd_);
    close(fd_);
    PrintEvent("disconnect name=" + LineValue(server_.Config().name));
    server_.SessionEnded(id_);  // may release this object once the caller's reference goes
}

void ServerSession::Fail(const std::string& problem) {
    PrintProblem("server " + server_.Config().name + ": closing a connection: " + problem);
    End();
}

void ServerSession::OnEvents(uint32_t events) {
    const auto keepAlive = shared_from_this();
    if ((events & EPOLLOUT) && !flushPending_) {
        WriteOutput();
    }
    if (!ended_ && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
        ReadInput();
    }
}

void ServerSession::ReadInput() {
    // One scratch buffer for all sessions (single thread), so an idle session holds no more
    // than its partial frame.
    static std::vector<uint8_t> scratch(kxprotocol::kMaxFrameSize);
    for (int read = 0; read < kMaxReadsPerWakeup && !ended_; ++read) {
        const ssize_t received = recv(fd_, scratch.data(), scratch.size(), 0);
        if (received == 0) {
            End();
            return;
        }
        if (received < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                End();
            }
            return;
        }
        input_.insert(input_.end(), scratch.begin(), scratch.begin() + received);
        std::size_t consumed = 0;
        while (!ended_) {
            kxprotocol::Decoded decoded =
                kxprotocol::DecodeFrame(input_.data() + consumed, input_.size() - consumed);
            if (decoded.status == kxprotocol::DecodeStatus::kNeedMore) {
                break;
            }
            if (decoded.status == kxprotocol::DecodeStatus::kMalformed) {
                Fail("malformed frame: " + decoded.error);
                return;
            }
            consumed += decoded.frameSize;
            Handle(std::move(decoded.message));
        }
        input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(consumed));
        if (static_cast<std::size_t>(received) < scratch.size()) {
            return;  // drained; the level-triggered loop reports any later bytes
        }
    }
}

void ServerSession::Handle(kxprotocol::Message&& message) {
    if (endWhenFlushed_) {
        return;  // a refused client has nothing more to say
    }
    if (const auto* login = std::get_if<kxprotocol::Login>(&message); login && !loginSeen_) {
        HandleLogin(*login);
    } else if (const auto* update = std::get_if<kxprotocol::UpdateTarget>(&message);
               update && loggedIn_) {
        HandleUpdate(*update);
    } else {
        Fail(std::string("unexpected ") + kxprotocol::MessageName(message) + " message");
    }
}

uint8_t ServerSession::DecideLogin(const kxprotocol::Login& login) {
    if (login.version != kxprotocol::kVersion) {
        return kxprotocol::kLoginUnsupportedVersion;
    }
    if (login.user != behaviour_->username || login.password != behaviour_->password) {
        return kxprotocol::kLoginBadCredentials;
    }
    if (behaviour_->refuseLogin || (behaviour_->refuseProbability > 0 &&
                                    server_.NextRandom() < behaviour_->refuseProbability)) {
        return kxprotocol::kLoginRefused;
    }
    return kxprotocol::kLoginAccepted;
}

void ServerSession::HandleLogin(const kxprotocol::Login& login) {
    loginSeen_ = true;
    const uint8_t status = DecideLogin(login);
    PrintEvent("login name=" + LineValue(server_.Config().name) + " user=" + LineValue(login.user) +
               " result=" + (status == kxprotocol::kLoginAccepted ? "accepted" : "refused"));
    Reply(kxprotocol::LoginResult{status, kxprotocol::kVersion});
    if (status != kxprotocol::kLoginAccepted) {
        endWhenFlushed_ = true;  // once the reply has gone
        return;
    }
    loggedIn_ = true;
    SendData();
    ScheduleDrop();
}

void ServerSession::ScheduleDrop() {
    uint64_t delayMs = behaviour_->dropAfterLoginMs;
    if (delayMs == 0 && behaviour_->dropProbability > 0 &&
        server_.NextRandom() < behaviour_->dropProbability) {
        delayMs = static_cast<uint64_t>(server_.NextRandom() * kRandomDropWindowMs) + 1;
    }
    if (delayMs == 0 || ended_) {
        return;
    }
    const std::weak_ptr<ServerSession> weak = weak_from_this();
    dropTimer_ = loop_.After(std::chrono::milliseconds(delayMs), [weak] {
        if (const auto self = weak.lock()) {
            self->dropTimer_ = 0;
            PrintEvent("drop name=" + LineValue(self->server_.Config().name));
            self->End();
        }
    });
}

void ServerSession::HandleUpdate(const kxprotocol::UpdateTarget& update) {
    const kxprotocol::UpdateResult result =
        server_.ApplyUpdate(update, behaviour_->rejectUpdates, id_);
    Reply(result);
    if (result.status == kxprotocol::UpdateStatus::kApplied && behaviour_->closeAfterUpdate) {
        Reply(kxprotocol::CloseRequest{});
    }
}

void ServerSession::SendData() {
    for (const kxprotocol::Message& message : server_.DataMessages()) {
        Reply(message);
    }
}

void ServerSession::Reply(const kxprotocol::Message& message) {
    if (ended_) {
        return;
    }
    std::vector<uint8_t> frame;
    if (!kxprotocol::Encode(message, frame)) {
        Fail(std::string("cannot encode a ") + kxprotocol::MessageName(message) + " message");
        return;
    }
    if (behaviour_->replyDelayMs == 0) {
        Queue(frame);
        return;
    }
    // Every reply waits the same delay, so replies stay in order in one queue.
    const auto due = EventLoop::Clock::now() + std::chrono::milliseconds(behaviour_->replyDelayMs);
    delayed_.emplace_back(due, std::move(frame));
    if (delayTimer_ == 0) {
        const std::weak_ptr<ServerSession> weak = weak_from_this();
        delayTimer_ = loop_.After(std::chrono::milliseconds(behaviour_->replyDelayMs), [weak] {
            if (const auto self = weak.lock()) {
                self->delayTimer_ = 0;
                self->ReleaseDelayedReplies();
            }
        });
    }
}

void ServerSession::ReleaseDelayedReplies() {
    const auto now = EventLoop::Clock::now();
    while (!delayed_.empty() && delayed_.front().first <= now && !ended_) {
        Queue(delayed_.front().second);
        delayed_.pop_front();
    }
    if (!delayed_.empty() && !ended_) {
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(delayed_.front().first - now);
        const std::weak_ptr<ServerSession> weak = weak_from_this();
        delayTimer_ = loop_.After(wait, [weak] {
            if (const auto self = weak.lock()) {
                self->delayTimer_ = 0;
                self->ReleaseDelayedReplies();
            }
        });
    }
}

void ServerSession::Queue(const std::vector<uint8_t>& frame) {
    if (output_.size() - outputSent_ + frame.size() > kMaxQueuedOutput) {
        Fail("the client does not read its replies");
        return;
    }
    output_.insert(output_.end(), frame.begin(), frame.end());
    if (!flushPending_) {
        flushPending_ = true;
        const std::weak_ptr<ServerSession> weak = weak_from_this();
        loop_.Defer([weak] {
            if (const auto self = weak.lock()) {
                self->flushPending_ = false;
                self->WriteOutput();
            }
        });
    }
}

void ServerSession::WriteOutput() {
    while (!ended_ && outputSent_ < output_.size()) {
        const ssize_t sent = send(fd_, output_.data() + outputSent_, output_.size() - outputSent_,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            outputSent_ += static_cast<std::size_t>(sent);
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            End();
            return;
        }
    }
    if (ended_) {
        return;
    }
    if (outputSent_ == output_.size()) {
        output_.clear();
        if (output_.capacity() > kxprotocol::kMaxFrameSize) {
            output_.shrink_to_fit();  // a large data set should not pin its memory
        }
        outputSent_ = 0;
        if (endWhenFlushed_ && delayed_.empty()) {
            End();
            return;
        }
    }
    WatchForWrites();
}

void ServerSession::WatchForWrites() {
    const bool wanted = outputSent_ < output_.size();
    if (wanted != watchingWrites_) {
        watchingWrites_ = wanted;
        loop_.Modify(fd_, EPOLLIN | (wanted ? EPOLLOUT : 0u));
    }
}

}  // namespace simulator
