// Host name lookups off the caller's thread: a few threads of the library's own ask the resolver,
// and a descriptor per lookup tells the caller's event loop when the answer is in.
//
// Threads of our own rather than getaddrinfo_a: a request there cannot be taken back once it runs,
// its memory has to live until it completes, and completion comes by signal or by a thread per
// answer. Here abandoning a lookup is a flag, each handle has one slot that is with the
// threads at most once, and completion is a write to an eventfd.
#include "name_lookup.h"

#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "base/mutex.h"

namespace kxapi {

using vaultline::Mutex;
using vaultline::MutexLock;

// The lookup a handle waits for, shared between the handle and the lookup threads.
struct LookupSlot {
    Mutex mutex;
    // The lookup the handle waits for; 0 when it waits for none.
    uint64_t wanted GUARDED_BY(mutex) = 0;
    uint64_t lastStarted GUARDED_BY(mutex) = 0;
    std::string host GUARDED_BY(mutex);
    std::string service GUARDED_BY(mutex);
    // The wanted lookup's eventfd. Closed only under mutex, so a thread never writes to a number
    // already reused for another descriptor.
    int fd GUARDED_BY(mutex) = -1;
    // Queued, or a thread is asking the resolver for it.
    bool withThreads GUARDED_BY(mutex) = false;
    bool answered GUARDED_BY(mutex) = false;
    std::vector<ResolvedAddress> answer GUARDED_BY(mutex);
};

namespace {

// Enough that a few lookups stuck in a dead resolver do not hold up the others; few enough that a
// resolver outage costs little.
constexpr std::size_t kLookupThreads = 4;

// Appends getaddrinfo's addresses for `host` to `addresses`; returns getaddrinfo's result.
int Resolve(const char* host, const std::string& service, int flags,
            std::vector<ResolvedAddress>& addresses) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | flags;
    addrinfo* found = nullptr;
    const int result = getaddrinfo(host, service.c_str(), &hints, &found);
    if (result != 0) {
        return result;
    }
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addrlen <= sizeof(sockaddr_storage)) {
            ResolvedAddress resolved{};
            std::memcpy(&resolved.storage, entry->ai_addr, entry->ai_addrlen);
            resolved.length = entry->ai_addrlen;
            addresses.push_back(resolved);
        }
    }
    freeaddrinfo(found);
    return 0;
}

// Asks the resolver for the slot's wanted lookup and hands the answer over if it is still
// wanted. True when another lookup was asked for meanwhile, which then needs serving too.
bool Serve(LookupSlot& slot) {
    uint64_t lookup = 0;
    std::string host;
    std::string service;
    {
        MutexLock lock(slot.mutex);
        if (slot.wanted == 0) {
            slot.withThreads = false;
            return false;
        }
        lookup = slot.wanted;
        host = slot.host;
        service = slot.service;
    }
    std::vector<ResolvedAddress> addresses;
    Resolve(host.c_str(), service, 0, addresses);

    MutexLock lock(slot.mutex);
    if (slot.wanted == lookup) {
        slot.answer = std::move(addresses);
        slot.answered = true;
        const uint64_t one = 1;
        // Cannot fail: the counter is far from its limit and the descriptor is open.
        [[maybe_unused]] const ssize_t written = write(slot.fd, &one, sizeof one);
        slot.withThreads = false;
        return false;
    }
    if (slot.wanted == 0) {
        slot.withThreads = false;
        return false;
    }
    return true;
}

// Ends the slot's wanted lookup as failed, for a thread that could not serve it (out of memory).
void Fail(LookupSlot& slot) noexcept {
    MutexLock lock(slot.mutex);
    if (slot.wanted != 0) {
        slot.answer.clear();
        slot.answered = true;
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = write(slot.fd, &one, sizeof one);
    }
    slot.withThreads = false;
}

// The lookup threads and their queue. Each thread holds a reference, so one still inside the
// resolver when the process ends keeps what it touches alive.
class LookupPool : public std::enable_shared_from_this<LookupPool> {
public:
    // Hands the slot to the threads. False, with the slot taken back, when no thread can serve it.
    bool Submit(const std::shared_ptr<LookupSlot>& slot) {
        bool needThread = false;
        {
            MutexLock lock(mutex_);
            queue_.push_back(slot);
            if (threads_ < kLookupThreads) {
                ++threads_;
                needThread = true;
            }
        }
        if (!needThread || StartThread()) {
            return true;
        }
        MutexLock lock(mutex_);
        --threads_;
        const auto queued = std::find(queue_.begin(), queue_.end(), slot);
        if (threads_ > 0 || queued == queue_.end()) {
            return true;  // the threads there are serve it
        }
        queue_.erase(queued);
        return false;
    }

private:
    bool StartThread() {
        // The caller's signal handlers never run on a lookup thread.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        bool started = true;
        try {
            std::thread([pool = shared_from_this()] { pool->Run(); }).detach();
        } catch (const std::system_error&) {
            started = false;
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return started;
    }

    // A thread serves the queue until it is empty, then ends.
    void Run() {
        for (;;) {
            std::shared_ptr<LookupSlot> slot;
            {
                MutexLock lock(mutex_);
                if (queue_.empty()) {
                    --threads_;
                    return;
                }
                slot = std::move(queue_.front());
                queue_.pop_front();
            }
            try {
                if (Serve(*slot)) {
                    MutexLock lock(mutex_);
                    queue_.push_back(slot);
                }
            } catch (const std::bad_alloc&) {
                Fail(*slot);
            }
        }
    }

    Mutex mutex_;
    // A slot is in the queue at most once (LookupSlot::withThreads).
    std::deque<std::shared_ptr<LookupSlot>> queue_ GUARDED_BY(mutex_);
    std::size_t threads_ GUARDED_BY(mutex_) = 0;
};

LookupPool& Pool() {
    static const std::shared_ptr<LookupPool> pool = std::make_shared<LookupPool>();
    return *pool;
}

}  // namespace

HostKind ResolveNumeric(const char* host, unsigned short port,
                        std::vector<ResolvedAddress>& addresses) {
    const int result = Resolve(host, std::to_string(port), AI_NUMERICHOST, addresses);
    return result == 0            ? HostKind::kNumeric
           : result == EAI_NONAME ? HostKind::kName
                                  : HostKind::kInvalid;
}

bool NameLookup::Start(const std::string& host, unsigned short port) {
    Abandon();
    if (!slot_) {
        slot_ = std::make_shared<LookupSlot>();
    }
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    bool submit = false;
    {
        MutexLock lock(slot_->mutex);
        slot_->wanted = ++slot_->lastStarted;
        slot_->host = host;
        slot_->service = std::to_string(port);
        slot_->fd = fd;
        // A slot still with the threads is served again once its resolver call returns.
        submit = !slot_->withThreads;
        slot_->withThreads = true;
    }
    fd_ = fd;
    if (submit && !Pool().Submit(slot_)) {
        {
            MutexLock lock(slot_->mutex);
            slot_->withThreads = false;
        }
        Abandon();
        return false;
    }
    return true;
}

void NameLookup::Abandon() {
    if (fd_ < 0) {
        return;
    }
    MutexLock lock(slot_->mutex);
    slot_->wanted = 0;
    slot_->answered = false;
    slot_->answer.clear();
    close(slot_->fd);
    slot_->fd = -1;
    fd_ = -1;
}

std::optional<std::vector<ResolvedAddress>> NameLookup::TakeAnswer() {
    if (fd_ < 0) {
        return std::nullopt;
    }
    MutexLock lock(slot_->mutex);
    if (!slot_->answered) {
        return std::nullopt;
    }
    std::vector<ResolvedAddress> answer = std::move(slot_->answer);
    slot_->answer.clear();
    slot_->answered = false;
    slot_->wanted = 0;
    close(slot_->fd);
    slot_->fd = -1;
    fd_ = -1;
    return answer;
}

}  // namespace kxapi
