// The stop and recheck signals: their handlers, and ignoring them around the service's life.
#pragma once

#include <csignal>

namespace vaultline {

// Number of the first stop signal caught; 0 while none has been.
extern volatile std::sig_atomic_t caughtSignal;

// Stop-signal handler: records the first signal and asks the running service to stop.
void OnSignal(int signalNumber);

// Routes SIGTERM and SIGINT to OnSignal, without SA_RESTART. Only while `runningService` is set.
void InstallStopHandler();
// Ignores SIGTERM and SIGINT from now on, so the shutdown cannot be interrupted.
void IgnoreStopSignals();

// Recheck signal handler: asks the running service, if any, to recheck every client. It only
// sets a lock-free flag, which the worker reads at its next pass.
void OnRecheckSignal(int signalNumber);
// Routes SIGUSR1 to OnRecheckSignal, with SA_RESTART so that no other thread's call fails for
// it. Only while `runningService` is set.
void InstallRecheckHandler();
// Ignores SIGUSR1: before the service exists, and once it is being stopped.
void IgnoreRecheckSignal();

}  // namespace vaultline
