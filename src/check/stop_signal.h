// Stopping vaultline-check with SIGINT or SIGTERM while it waits for servers.
#pragma once

#include <signal.h>

#include <csignal>

// How the connection loop learns of a stop: it waits with `waitMask` in place, so a stop signal
// can interrupt only the wait, and then reads `flag`.
struct StopControl {
    const volatile std::sig_atomic_t* flag = nullptr;  // nonzero once a stop was asked for
    const sigset_t* waitMask = nullptr;                // null: wait with the current mask
};

// Number of the first stop signal caught; 0 while none has been.
extern volatile std::sig_atomic_t checkStopSignal;

// Blocks SIGINT and SIGTERM everywhere but in the connection loop's wait, where they set
// `checkStopSignal`. Main thread, once, before any other thread exists.
StopControl InstallCheckStopHandler();
