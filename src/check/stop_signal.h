// Stopping vaultline-check with SIGINT or SIGTERM at any stage of its run.
#pragma once

#include <signal.h>

#include <csignal>

namespace vaultline {

// The exit status of a run ended by a stop signal, as for any run that could not check
// everything.
constexpr int kInterruptedStatus = 1;

// How the connection loop learns of a stop: it waits with `waitMask` in place, so a held-back
// stop signal can interrupt only the wait, and then reads `flag`.
struct StopControl {
    const volatile std::sig_atomic_t* flag = nullptr;  // nonzero once a stop was asked for
    const sigset_t* waitMask = nullptr;                // null: wait with the current mask
};

// Number of the first stop signal caught; 0 while none has been.
extern volatile std::sig_atomic_t checkStopSignal;

// Installs the handler of SIGINT and SIGTERM and blocks both on the calling thread, so that the
// threads started later (logging, the SDK's) never take them. Until a StopHandling says
// otherwise a stop is held back. Main thread, once, before any other thread exists.
StopControl InstallCheckStopHandler();

// How the calling thread takes a stop while the object lives; the signal mask and mode from
// before come back when it goes. Main thread only, nested in scope order.
class StopHandling {
public:
    enum Mode {
        // A stop ends the process at once with kInterruptedStatus, printing nothing more: for
        // the stages that may block outside the connection loop's wait (opening the
        // configuration, which may be a FIFO without a writer; an SDK call that looks a name up
        // in its caller; writing the report to a pipe nobody reads).
        kEndProcess,
        // A stop is held back until the connection loop's wait, which takes it; the servers not
        // yet checked are then reported as interrupted.
        kDeferred,
    };
    explicit StopHandling(Mode mode);
    ~StopHandling();
    StopHandling(const StopHandling&) = delete;
    StopHandling& operator=(const StopHandling&) = delete;

private:
    sigset_t previousMask_;
    std::sig_atomic_t previousEndAtOnce_;
};

}  // namespace vaultline
