// epoll dispatch by token (so a reused descriptor number never reaches a stale handler) and a
// timer queue ordered by due time.
#include "event_loop.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace simulator {

EventLoop::~EventLoop() {
    if (epoll_ >= 0) {
        close(epoll_);
    }
}

bool EventLoop::Open(std::string& error) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
        error = std::string("epoll_create1: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool EventLoop::Watch(int fd, uint32_t events, IoHandler handler) {
    const uint64_t token = nextToken_++;
    epoll_event event{};
    event.events = events;
    event.data.u64 = token;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
        return false;
    }
    tokenByFd_[fd] = token;
    watched_[token] = Watched{fd, std::make_shared<IoHandler>(std::move(handler))};
    return true;
}

void EventLoop::Modify(int fd, uint32_t events) {
    const auto found = tokenByFd_.find(fd);
    if (found == tokenByFd_.end()) {
        return;
    }
    epoll_event event{};
    event.events = events;
    event.data.u64 = found->second;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
}

void EventLoop::Unwatch(int fd) {
    const auto found = tokenByFd_.find(fd);
    if (found == tokenByFd_.end()) {
        return;
    }
    epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    watched_.erase(found->second);
    tokenByFd_.erase(found);
}

void EventLoop::Forget(int fd) {
    const auto found = tokenByFd_.find(fd);
    if (found == tokenByFd_.end()) {
        return;
    }
    watched_.erase(found->second);
    tokenByFd_.erase(found);
}

EventLoop::TimerId EventLoop::After(std::chrono::milliseconds delay, TimerHandler handler) {
    const TimerId id = nextTimer_++;
    const Clock::time_point due = Clock::now() + delay;
    timers_.emplace(std::make_pair(due, id), std::move(handler));
    timerDue_.emplace(id, due);
    return id;
}

void EventLoop::Cancel(TimerId id) {
    const auto found = timerDue_.find(id);
    if (found == timerDue_.end()) {
        return;
    }
    timers_.erase(std::make_pair(found->second, id));
    timerDue_.erase(found);
}

int EventLoop::WaitTimeoutMs() const {
    if (timers_.empty()) {
        return -1;
    }
    const auto wait = timers_.begin()->first.first - Clock::now();
    if (wait <= Clock::duration::zero()) {
        return 0;
    }
    // Rounded up, so the loop never wakes just before a timer is due and spins.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
}

void EventLoop::RunDueTimers() {
    const Clock::time_point now = Clock::now();
    while (!timers_.empty() && timers_.begin()->first.first <= now) {
        const auto first = timers_.begin();
        TimerHandler handler = std::move(first->second);
        timerDue_.erase(first->first.second);
        timers_.erase(first);
        handler();
    }
}

void EventLoop::EndTurn() {
    std::vector<TimerHandler> work;
    for (;;) {
        if (turnEnd_) {
            turnEnd_();
        }
        if (deferred_.empty()) {
            return;
        }
        work.clear();
        work.swap(deferred_);
        for (TimerHandler& handler : work) {
            handler();
        }
    }
}

bool EventLoop::Run() {
    constexpr int kMaxEvents = 256;
    epoll_event events[kMaxEvents];
    while (!stopped_) {
        const int count = epoll_wait(epoll_, events, kMaxEvents, WaitTimeoutMs());
        if (count < 0 && errno != EINTR) {
            return false;
        }
        for (int index = 0; index < count && !stopped_; ++index) {
            const auto found = watched_.find(events[index].data.u64);
            if (found == watched_.end()) {
                continue;
            }
            // Keeps the handler alive even if it unwatches its own descriptor.
            const std::shared_ptr<IoHandler> handler = found->second.handler;
            (*handler)(events[index].events);
        }
        RunDueTimers();
        EndTurn();
    }
    return true;
}

}  // namespace simulator
