// Stopping vaultline-check with SIGINT or SIGTERM while it waits for servers.
#include "check/stop_signal.h"

volatile std::sig_atomic_t checkStopSignal = 0;

namespace {

sigset_t waitMask;

void OnStopSignal(int signalNumber) {
    if (checkStopSignal == 0) {
        checkStopSignal = signalNumber;
    }
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
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    return StopControl{&checkStopSignal, &waitMask};
}
