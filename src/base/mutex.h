// The thread safety annotations clang checks (-Wthread-safety), a mutex that carries them, and
// the worker thread's role as a capability.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// libstdc++'s std::mutex carries no annotations, so the analysis is only as good as this
// wrapper's. Other compilers see nothing.
#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)

namespace vaultline {

class CondVar;

class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock() ACQUIRE() { mutex_.lock(); }
    void Unlock() RELEASE() { mutex_.unlock(); }

private:
    friend class CondVar;
    std::mutex mutex_;
};

// Holds `mutex` for its scope; Unlock and Lock let a scope give it up for a while.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
    ~MutexLock() RELEASE() {
        if (held_) {
            mutex_.Unlock();
        }
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void Unlock() RELEASE() {
        mutex_.Unlock();
        held_ = false;
    }
    void Lock() ACQUIRE() {
        mutex_.Lock();
        held_ = true;
    }

private:
    Mutex& mutex_;
    bool held_ = true;
};

// A condition variable for a Mutex the caller holds: the wait gives the mutex up and has it
// again when it returns, which is what the analysis assumes of a call that requires it.
class CondVar {
public:
    void Wait(Mutex& mutex) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        wake_.wait(lock);
        lock.release();
    }
    // False once `deadline` has passed.
    bool WaitUntil(Mutex& mutex, std::chrono::steady_clock::time_point deadline) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex_, std::adopt_lock);
        const bool woken = wake_.wait_until(lock, deadline) == std::cv_status::no_timeout;
        lock.release();
        return woken;
    }
    void NotifyAll() { wake_.notify_all(); }

private:
    std::condition_variable wake_;
};

// The service's worker thread as a capability: what only the worker may touch
// REQUIRES(workerThread), and every place where the worker enters (its passes, its tasks, the SDK
// callback) asserts it. It has no state: the analysis alone uses it.
class CAPABILITY("role") ThreadRole {};
inline ThreadRole workerThread;

// Tells the analysis that the caller runs on the worker thread. Checks nothing at run time.
inline void AssertWorkerThread() ASSERT_CAPABILITY(workerThread) {}

}  // namespace vaultline
