// Stop signals and the main thread's wait for them.
#pragma once

#include <csignal>

// Number of the first stop signal caught; 0 while none has been.
extern volatile std::sig_atomic_t caughtSignal;

// Stop-signal handler: records the first signal and asks the running service to stop.
void OnSignal(int signalNumber);

// Routes SIGTERM and SIGINT to OnSignal, without SA_RESTART. Only while `runningService` is set.
void InstallStopHandler();
// Ignores SIGTERM and SIGINT from now on, so the shutdown cannot be interrupted.
void IgnoreStopSignals();
