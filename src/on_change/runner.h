// Running the operator's on-change command: one run at a time, moments that arrive meanwhile
// coalesced, its output logged, its time limited, and its end at a stop.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>

#include "on_change/moment.h"
#include "on_change/output_lines.h"
#include "on_change/settings.h"

namespace vaultline {

// How the command's runs ended, counted since the start.
struct OnChangeResults {
    int64_t succeeded = 0;   // exit status 0
    int64_t failed = 0;      // a non-zero status, a signal, or an end of unknown kind
    int64_t timedOut = 0;    // terminated at its time limit or at a stop
    int64_t notStarted = 0;  // could not be started, counted at each try
};

class OnChangeRunner {
public:
    // Poll is given the time by its caller; only the stop reads this clock, to wait in real time.
    using SteadyClock = std::chrono::steady_clock;

    OnChangeRunner() = default;
    // Stops a command still running, as Stop does.
    ~OnChangeRunner();
    OnChangeRunner(const OnChangeRunner&) = delete;
    OnChangeRunner& operator=(const OnChangeRunner&) = delete;

    // Once, before any moment is noted; Poll reads the settings only after a moment was noted.
    // So the main thread may call it while the worker polls, before it queues the work that
    // leads to the first moment. Without settings, moments are ignored. A start that fails for
    // want of descriptors, processes or memory is tried again `retryDelay` later.
    void Configure(const std::optional<OnChangeSettings>& settings,
                   std::chrono::milliseconds retryDelay);

    // Worker thread. Notes a moment; its command starts at a later Poll. Of each kind only the
    // latest waits, coalesced with the one it replaces (see WaitingMoments).
    void Notify(const OnChangeMoment& moment);

    // Worker thread, once per socket pass; never blocks. Logs the running command's output,
    // collects its exit, enforces its time limit, and starts the next waiting moment's command
    // when none runs: an address moment before a settled one.
    void Poll(SteadyClock::time_point now);

    // Main thread, once the worker has stopped. Drops the waiting moments; a running command
    // (and its process group) gets SIGTERM, then SIGKILL after at most `kStopGrace`.
    void Stop();

    // Worker thread, or the main thread once the worker has stopped.
    const OnChangeResults& Results() const { return results_; }

    // The wait between SIGTERM and SIGKILL after a command's timeout.
    static constexpr std::chrono::milliseconds kKillGrace{5000};
    // How long a stop waits for a running command to end after SIGTERM.
    static constexpr std::chrono::milliseconds kStopGrace{2000};

private:
    struct Run {
        OnChangeEvent event;
        pid_t pid;
        int output;
        OutputLines lines;
        SteadyClock::time_point deadline;
        // Set once the command was told to end (its timeout, or the stop); SIGKILL follows at
        // `killAt`. Such an end is not reported as a failure of the command.
        bool terminated = false;
        SteadyClock::time_point killAt{};
        bool killed = false;
    };

    void StartNext(SteadyClock::time_point now);
    // SIGTERM once the command's time is up, SIGKILL `kKillGrace` later.
    void EnforceTimeLimit(SteadyClock::time_point now);
    // Reads what the command wrote, at most a bounded amount, and logs its lines.
    void ReadOutput();
    // How the command ended, once it has; it stays a zombie, keeping its process group's id,
    // until Finish collects it.
    std::optional<siginfo_t> Exited();
    // Logs the rest of the output and how the command ended, ends what is left of a terminated
    // command's group, and collects the command.
    void Finish(const siginfo_t& exit);
    void Signal(int signalNumber);

    std::optional<OnChangeSettings> settings_;
    std::chrono::milliseconds retryDelay_{5000};
    // Worker thread only, like everything below.
    WaitingMoments waiting_;
    std::optional<Run> run_;
    // No command starts before then, after a start failed for want of resources.
    std::optional<SteadyClock::time_point> retryAt_;
    OnChangeResults results_;
};

}  // namespace vaultline
