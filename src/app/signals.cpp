// The stop and recheck signals: their handlers, and ignoring them around the service's life.
#include "app/signals.h"

#include "service/vaultline.h"

namespace vaultline {

volatile std::sig_atomic_t caughtSignal = 0;

void OnSignal(int signalNumber) {
    if (caughtSignal == 0) {
        caughtSignal = signalNumber;
    }
    runningService->RequestStop();
}

namespace {

void SetSignalAction(int signalNumber, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    sigaction(signalNumber, &action, nullptr);
}

void SetStopSignalsAction(void (*handler)(int)) {
    SetSignalAction(SIGTERM, handler, 0);
    SetSignalAction(SIGINT, handler, 0);
}

}  // namespace

void InstallStopHandler() {
    SetStopSignalsAction(&OnSignal);
}

void IgnoreStopSignals() {
    SetStopSignalsAction(SIG_IGN);
}

void OnRecheckSignal(int) {
    Vaultline* const service = runningService;
    if (service != nullptr) {
        service->AskForRecheck();
    }
}

void InstallRecheckHandler() {
    SetSignalAction(SIGUSR1, &OnRecheckSignal, SA_RESTART);
}

void IgnoreRecheckSignal() {
    SetSignalAction(SIGUSR1, SIG_IGN, SA_RESTART);
}

}  // namespace vaultline
