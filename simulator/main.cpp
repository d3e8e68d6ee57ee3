// archive-simulator: plays the archive servers of a fleet file until SIGTERM or SIGINT.
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "event_log.h"
#include "event_loop.h"
#include "fleet.h"

namespace {

constexpr const char* kUsage =
    "usage: archive-simulator --fleet <fleet.xml> --state <state.xml> [--timestamps]\n"
    "\n"
    "Plays every archive server of the fleet file on its own TCP listener, in one process.\n"
    "Prints one line per event on stdout (listening, ready, login, update, disconnect, reload).\n"
    "SIGHUP re-reads the fleet file; SIGTERM or SIGINT stop the simulator.\n"
    "The state file is rewritten after every change.\n"
    "--timestamps ends every event line with \" time=<seconds>\" of the monotonic clock.\n";

struct Options {
    std::string fleetPath;
    std::string statePath;
    bool help = false;
    bool timestamps = false;
};

// Returns an error text for a bad command line.
std::string ParseOptions(int argc, char** argv, Options& options) {
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            return {};
        }
        if (argument == "--timestamps") {
            options.timestamps = true;
            continue;
        }
        std::string* value = argument == "--fleet"   ? &options.fleetPath
                             : argument == "--state" ? &options.statePath
                                                     : nullptr;
        if (value == nullptr) {
            return "unknown argument \"" + argument + "\"";
        }
        if (index + 1 >= argc || argv[index + 1][0] == '\0') {
            return argument + " needs a file name";
        }
        *value = argv[++index];
    }
    if (options.fleetPath.empty() || options.statePath.empty()) {
        return "both --fleet and --state are required";
    }
    return {};
}

// Thousands of listeners and connections need far more descriptors than the usual soft limit.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int Run(const Options& options) {
    RaiseDescriptorLimit();
    simulator::SetEventTimestamps(options.timestamps);
    signal(SIGPIPE, SIG_IGN);
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGHUP);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGINT);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    const int signals = signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signals < 0) {
        simulator::PrintProblem(std::string("signalfd: ") + std::strerror(errno));
        return 1;
    }

    simulator::EventLoop loop;
    std::string error;
    if (!loop.Open(error)) {
        simulator::PrintProblem(error);
        return 1;
    }
    auto fleet = std::make_unique<simulator::Fleet>(loop, options.fleetPath, options.statePath);
    loop.Watch(signals, EPOLLIN, [&](uint32_t) {
        signalfd_siginfo info{};
        while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (info.ssi_signo == SIGHUP) {
                fleet->Reload();
            } else {
                loop.Stop();
            }
        }
    });
    if (error = fleet->Start(); !error.empty()) {
        simulator::PrintProblem(error);
        return 1;
    }
    simulator::SetEventBatching(true);
    const bool ran = loop.Run();
    simulator::SetEventBatching(false);
    if (!ran) {
        simulator::PrintProblem(std::string("epoll_wait: ") + std::strerror(errno));
        return 1;
    }
    fleet.reset();  // every session ends (and says so) before the last line
    simulator::PrintEvent("stopped");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Flushed by the event log itself: per line, or per loop turn while batching.
    static char buffer[1 << 16];
    setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    Options options;
    if (const std::string error = ParseOptions(argc, argv, options); !error.empty()) {
        std::fprintf(stderr, "archive-simulator: %s\n%s", error.c_str(), kUsage);
        return 1;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    try {
        return Run(options);
    } catch (const std::exception& exception) {
        simulator::PrintProblem(std::string("fatal: ") + exception.what());
        return 1;
    }
}
