// One fleet size measured by vaultline-bench: the service's convergence at start-up and after
// address changes, the drivers' on the same changes, its CPU, memory and idle cost.
#pragma once

#include <optional>

namespace bench {

struct IdleFigures {
    double servicePercent = -1;
    double serviceSwitches = -1;
    double barePercent = -1;
    double bareSwitches = -1;
};

struct SizeFigures {
    int clients = 0;
    int rounds = 0;
    double startup = -1;  // login to the target to the last client's update
    double startupFromSpawn = -1;
    double change = -1;  // the target's new data pushed to the last client's update
    double floor = -1;
    double sequential = -1;
    int failures = 0;  // rounds that timed out, rejected updates, driver failures
    long vmhwmKib = -1;
    double serviceCpu = -1;  // in the change rounds
    double simulatorCpu = -1;
    int serviceThreads = 0;
    std::optional<IdleFigures> idle;
};

// Measures a fleet of `clients` stale clients over `rounds` rounds of each kind, and the idle
// cost over `idleSeconds` when `idle`. Throws std::runtime_error when the simulator fails.
SizeFigures MeasureSize(int clients, int rounds, bool idle, int idleSeconds);

// One line of progress on stderr.
void Progress(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace bench
