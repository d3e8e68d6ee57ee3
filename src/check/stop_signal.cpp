// Stopping vaultline-check with SIGINT or SIGTERM at any stage of its run.
#include "check/stop_signal.h"

#include <unistd.h>

namespace vaultline {

volatile std::sig_atomic_t checkStopSignal = 0;

namespace {

sigset_t waitMask;
// Nonzero while a stop ends the process at once. Main thread only; the signals are blocked
// whenever it is zero, once the handler is installed.
volatile std::sig_atomic_t endAtOnce = 0;

void OnStopSignal(int signalNumber) {
    if (checkStopSignal == 0) {
        checkStopSignal = signalNumber;
    }
    if (endAtOnce != 0) {
        _exit(kInterruptedStatus);
    }
}

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

}  // namespace

StopControl InstallCheckStopHandler() {
    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // Blocked outside the wait, a signal that comes between two waits is held until the next one
    // instead of being lost just before it.
    const sigset_t signals = StopSignals();
    sigprocmask(SIG_BLOCK, &signals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    return StopControl{&checkStopSignal, &waitMask};
}

// In these orders a signal never finds the wrong mode: it is let in only once it ends the
// process, and held back before it would merely be recorded.
StopHandling::StopHandling(Mode mode) : previousEndAtOnce_(endAtOnce) {
    const sigset_t signals = StopSignals();
    if (mode == kEndProcess) {
        endAtOnce = 1;
        sigprocmask(SIG_UNBLOCK, &signals, &previousMask_);
    } else {
        sigprocmask(SIG_BLOCK, &signals, &previousMask_);
        endAtOnce = 0;
    }
}

StopHandling::~StopHandling() {
    if (previousEndAtOnce_ != 0) {
        endAtOnce = 1;
        sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
    } else {
        sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
        endAtOnce = 0;
    }
}

}  // namespace vaultline
