// Running the operator's on-change command: one run at a time, moments that arrive meanwhile
// coalesced, its output logged, its time limited, and its end at a stop.
#include "on_change/runner.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "base/log_text.h"
#include "base/logging.h"
#include "on_change/spawn.h"

namespace vaultline {

namespace {

// What one pass reads of the output at most, so a command that writes without pause cannot hold
// up the worker; the rest waits in the pipe, which holds the command up instead.
constexpr int kReadsPerPoll = 16;
// How long a stop waits for a command to be gone after SIGKILL.
constexpr std::chrono::milliseconds kReapAfterKill{100};
constexpr std::chrono::milliseconds kStopPollStep{10};

void LogLine(std::string_view line, bool cut) {
    BOOST_LOG_SEV(*logger, Severity::INFO)
        << "on-change: " << LogText(line)
        << (cut ? " (cut at " + std::to_string(OutputLines::kMaxLineBytes) + " bytes)" : "");
}

}  // namespace

OnChangeRunner::~OnChangeRunner() {
    Stop();
}

void OnChangeRunner::Configure(const std::optional<OnChangeSettings>& settings,
                               std::chrono::milliseconds retryDelay) {
    settings_ = settings;
    retryDelay_ = retryDelay;
}

void OnChangeRunner::Notify(const OnChangeMoment& moment) {
    if (!settings_) {
        return;
    }
    waiting_.Add(moment);
}

void OnChangeRunner::Poll(SteadyClock::time_point now) {
    if (run_) {
        ReadOutput();
        const auto exit = Exited();
        if (!exit) {
            EnforceTimeLimit(now);
            return;
        }
        Finish(*exit);
    }
    if (retryAt_ && now < *retryAt_) {
        return;
    }
    retryAt_.reset();
    StartNext(now);
}

void OnChangeRunner::EnforceTimeLimit(SteadyClock::time_point now) {
    if (!run_->terminated && now >= run_->deadline) {
        BOOST_LOG_SEV(*logger, Severity::WARNING)
            << "on-change command (" << EventName(run_->event) << ") still running after "
            << settings_->timeout.count() << " s; terminating it";
        Signal(SIGTERM);
        run_->terminated = true;
        run_->killAt = now + kKillGrace;
    } else if (run_->terminated && !run_->killed && now >= run_->killAt) {
        Signal(SIGKILL);
        run_->killed = true;
    }
}

void OnChangeRunner::StartNext(SteadyClock::time_point now) {
    while (!run_) {
        const std::optional<OnChangeMoment> next = waiting_.Take();
        if (!next) {
            return;
        }
        const OnChangeMoment& moment = *next;
        SpawnedCommand command;
        const int error = SpawnCommand(settings_->command, MomentVariables(moment), command);
        if (error == 0) {
            run_.emplace(
                Run{moment.event, command.pid, command.output, {}, now + settings_->timeout});
            return;
        }
        ++results_.notStarted;
        const bool transient = IsTransientSpawnError(error);
        const auto retrySeconds = std::chrono::duration_cast<std::chrono::seconds>(retryDelay_);
        BOOST_LOG_SEV(*logger, Severity::WARNING)
            << "on-change command " << LogText(settings_->command) << " ("
            << EventName(moment.event) << ") could not be started: " << std::strerror(error)
            << (transient ? "; trying again in " + std::to_string(retrySeconds.count()) + " s"
                          : std::string());
        if (transient) {
            waiting_.PutBack(moment);
            retryAt_ = now + retryDelay_;
            return;
        }
    }
}

void OnChangeRunner::ReadOutput() {
    char buffer[4096];
    for (int i = 0; i < kReadsPerPoll; ++i) {
        const ssize_t count = read(run_->output, buffer, sizeof buffer);
        if (count > 0) {
            run_->lines.Feed(std::string_view(buffer, static_cast<std::size_t>(count)), LogLine);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            // The end of the output, or nothing more for now.
            return;
        }
    }
}

std::optional<siginfo_t> OnChangeRunner::Exited() {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(run_->pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        // Only ECHILD, were the command collected behind the runner's back: it has ended, how
        // is unknown.
        if (errno == ECHILD) {
            return siginfo_t{};
        }
        return std::nullopt;
    }
    if (info.si_pid != run_->pid) {
        return std::nullopt;
    }
    return info;
}

void OnChangeRunner::Finish(const siginfo_t& exit) {
    // The exit ends the run: a child the command left behind may hold the pipe open for ever, so
    // only what is in it now is read.
    ReadOutput();
    run_->lines.Finish(LogLine);
    const char* const event = EventName(run_->event);
    if (run_->lines.LeftOut() > 0) {
        BOOST_LOG_SEV(*logger, Severity::INFO)
            << "on-change command (" << event << "): " << run_->lines.LeftOut()
            << " more output lines not logged";
    }
    // What a terminated command started goes with it; the command, not yet collected, keeps its
    // group's id from being reused until then.
    if (run_->terminated) {
        Signal(SIGKILL);
    }
    waitpid(run_->pid, nullptr, WNOHANG);
    close(run_->output);
    if (run_->terminated) {
        ++results_.timedOut;
    } else if (exit.si_code == CLD_EXITED && exit.si_status == 0) {
        ++results_.succeeded;
    } else {
        ++results_.failed;
    }
    if (!run_->terminated) {
        if (exit.si_code == CLD_EXITED) {
            BOOST_LOG_SEV(*logger, exit.si_status == 0 ? Severity::INFO : Severity::WARNING)
                << "on-change command (" << event << ") exited with status " << exit.si_status;
        } else if (exit.si_code == CLD_KILLED || exit.si_code == CLD_DUMPED) {
            BOOST_LOG_SEV(*logger, Severity::WARNING)
                << "on-change command (" << event << ") killed by signal " << exit.si_status;
        } else {
            BOOST_LOG_SEV(*logger, Severity::WARNING)
                << "on-change command (" << event << ") ended; how is unknown";
        }
    }
    run_.reset();
}

void OnChangeRunner::Signal(int signalNumber) {
    kill(-run_->pid, signalNumber);
}

void OnChangeRunner::Stop() {
    waiting_.Clear();
    if (!run_) {
        return;
    }
    BOOST_LOG_SEV(*logger, Severity::INFO) << "on-change command (" << EventName(run_->event)
                                           << ") still running at the stop; terminating it";
    Signal(SIGTERM);
    run_->terminated = true;
    std::optional<siginfo_t> exit;
    const auto waitFor = [&](std::chrono::milliseconds limit) {
        const auto deadline = SteadyClock::now() + limit;
        while (!(exit = Exited()) && SteadyClock::now() < deadline) {
            std::this_thread::sleep_for(kStopPollStep);
        }
    };
    waitFor(kStopGrace);
    if (!exit) {
        Signal(SIGKILL);
        waitFor(kReapAfterKill);
    }
    if (exit) {
        Finish(*exit);
        return;
    }
    // Stuck in the kernel even after SIGKILL: whoever adopts it once the service has ended
    // collects it.
    close(run_->output);
    run_.reset();
}

}  // namespace vaultline
