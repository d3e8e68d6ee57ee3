// A single-threaded epoll loop with one-shot timers: everything the simulator does runs here.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace simulator {

class EventLoop {
public:
    using Clock = std::chrono::steady_clock;
    using IoHandler = std::function<void(uint32_t events)>;
    using TimerHandler = std::function<void()>;
    using TimerId = uint64_t;

    EventLoop() = default;
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Creates the epoll instance; false with `error` set when that fails.
    bool Open(std::string& error);

    // Handlers may watch, unwatch and schedule freely; an unwatched descriptor gets no further
    // events, even ones already collected in the current round.
    bool Watch(int fd, uint32_t events, IoHandler handler);
    void Modify(int fd, uint32_t events);
    void Unwatch(int fd);
    // Unwatch for a descriptor the caller closes at once (and never duplicated): closing it
    // takes it out of epoll, which saves a system call per connection.
    void Forget(int fd);

    TimerId After(std::chrono::milliseconds delay, TimerHandler handler);
    void Cancel(TimerId id);

    // A turn is one wait: the I/O events it returned, then the timers due. At the end of every
    // turn `hook` runs, then the work deferred during the turn in order, then `hook` again if
    // there was any, until nothing is left deferred. Passing nullptr removes the hook.
    void OnTurnEnd(TimerHandler hook) { turnEnd_ = std::move(hook); }
    void Defer(TimerHandler work) { deferred_.push_back(std::move(work)); }

    // Runs until Stop() is called from a handler; false when waiting for events fails.
    bool Run();
    void Stop() { stopped_ = true; }

private:
    struct Watched {
        int fd;
        std::shared_ptr<IoHandler> handler;
    };

    int WaitTimeoutMs() const;
    void RunDueTimers();
    void EndTurn();

    int epoll_ = -1;
    bool stopped_ = false;
    uint64_t nextToken_ = 1;
    std::unordered_map<int, uint64_t> tokenByFd_;
    std::unordered_map<uint64_t, Watched> watched_;
    TimerId nextTimer_ = 1;
    std::map<std::pair<Clock::time_point, TimerId>, TimerHandler> timers_;
    std::unordered_map<TimerId, Clock::time_point> timerDue_;
    TimerHandler turnEnd_;
    std::vector<TimerHandler> deferred_;
};

}  // namespace simulator
