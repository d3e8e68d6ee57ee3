// Kernel figures of a running process from /proc: CPU time, context switches, peak memory.
#pragma once

#include <sys/types.h>

namespace bench {

struct ProcessUsage {
    double cpuSeconds = 0;     // user + system, every thread the process ever had (10 ms ticks)
    double runSeconds = 0;     // time on a CPU to the nanosecond, summed over its live threads
    long contextSwitches = 0;  // voluntary + involuntary, summed over its live threads
};

// Zeroes when the process is gone.
ProcessUsage ReadUsage(pid_t pid);

// Threads alive now, from /proc/<pid>/status.
int ThreadCount(pid_t pid);

// A /proc/<pid>/status figure in KiB ("VmHWM", "VmRSS"); -1 when unknown.
long StatusKib(pid_t pid, const char* field);

}  // namespace bench
