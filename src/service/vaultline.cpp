// The service object's life: the worker thread, start-up from the configuration, the main
// thread's wait for a stop.
#include "service/vaultline.h"

#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>

#include "base/logging.h"

namespace vaultline {

Vaultline* runningService = nullptr;

namespace {
// A stop waits this long for the status file's last write; a file system that takes longer
// does not hold up the stop.
constexpr std::chrono::milliseconds kStatusFinishLimit{1000};
}  // namespace

Vaultline::Vaultline(const ServiceTimes& times, const Clock& clock) : times(times), clock(clock) {
    // The worker never takes the recheck signal, so it cannot break a pass's wait; the thread
    // inherits the mask in place while it is created.
    sigset_t recheckSignal;
    sigemptyset(&recheckSignal);
    sigaddset(&recheckSignal, SIGUSR1);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &recheckSignal, &previousMask);
    worker = std::thread(&Vaultline::WorkerMain, this);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    runningService = this;
}

Vaultline::~Vaultline() {
    StopWorker();
}

void Vaultline::StopWorker() {
    stopRequested = true;
    runningService = nullptr;
    ioService.stop();
    if (worker.joinable()) {
        worker.join();
    }
    onChange.Stop();
    // The worker has stopped, so the main thread may read the status file's data.
    if (statusWriter.Enabled()) {
        statusWriter.Finish(
            statusFile.Snapshot(clock.Now(), clock.Calendar(), onChange.Results(), true),
            kStatusFinishLimit);
    }
}

void Vaultline::WorkerMain() {
    ioService.post([this] {
        AssertWorkerThread();
        PollSockets();
    });
    boost::asio::io_service::work keepRunning(ioService);
    // Failures are handled where they happen; anything that still escapes a task stops the
    // service in order with a failure status, for a supervisor to restart it.
    try {
        ioService.run();
    } catch (const std::exception& error) {
        BOOST_LOG_SEV(*logger, Severity::FATAL)
            << "worker stopped by an unexpected error: " << error.what();
        workerFailed = true;
        stopRequested = true;
    } catch (...) {
        BOOST_LOG_SEV(*logger, Severity::FATAL) << "worker stopped by an unexpected error";
        workerFailed = true;
        stopRequested = true;
    }
}

bool Vaultline::Initialize() {
    ServiceSettings settings;
    const bool read = ReadConfiguration(
        kConfigurationFile,
        [this](const ServerConfig& config) {
            const Server* const server = pool.Install(config);
            if (server == nullptr) {
                return false;
            }
            if (config.isTarget) {
                statusFile.SetTarget(config);
            } else {
                statusFile.AddClient(server, config);
            }
            return true;
        },
        &settings);
    if (!read) {
        return false;
    }
    // Read by the worker only once the target's first connection below has been queued.
    rounds.SetRecheckPeriod(settings.recheckPeriod);
    onChange.Configure(settings.onChange, times.retryDelay);
    statusFile.Configure(getpid(), clock.Now(), clock.Calendar(), times.retryDelay,
                         settings.recheckPeriod.count() > 0);
    statusWriter.Start(StatusFilePath(settings.statusFile, std::getenv("RUNTIME_DIRECTORY")));
    // The configuration names exactly one target. Nothing on the worker reaches its record
    // before this first connection is queued.
    pool.QueueReconnect(pool.InstalledTarget()->server, false);
    return true;
}

void Vaultline::Run() {
    if (!Initialize()) {
        return;
    }
    notifier.Notify("READY=1");
    while (!stopRequested) {
        // A signal interrupts the sleep; the step still lasts its full 100 ms.
        timespec step{0, 100'000'000};
        while (nanosleep(&step, &step) != 0 && errno == EINTR) {
        }
    }
    notifier.Notify("STOPPING=1");
}

}  // namespace vaultline
