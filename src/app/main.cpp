// The process: command line, logging, the service's life and the exit status.
#include <iostream>

#include "app/options.h"
#include "app/process_setup.h"
#include "app/signals.h"
#include "base/command_line.h"
#include "base/logging.h"
#include "service/vaultline.h"

namespace vaultline {
namespace {

int Main(int argc, char** argv) {
    const auto options = BuildOptions();
    CommandLine commandLine;
    const auto parse = [&] { return ParseCommandLine(options, argc, argv); };
    if (const auto status = AnswerCommandLine(options, parse, std::cout, commandLine)) {
        return *status;
    }

    IgnoreBrokenPipes();
    // A recheck asked for before the service can take it must not end the process.
    IgnoreRecheckSignal();
    RaiseDescriptorLimit();
    const auto sink = InitLogging(commandLine.level, commandLine.journal);
    bool workerFailed = false;
    {
        Logger mainLogger;
        BOOST_LOG_SEV(mainLogger, Severity::INFO) << kBanner << " started.";
        logger = &mainLogger;
        {
            Vaultline service;
            InstallStopHandler();
            InstallRecheckHandler();
            service.Run();
            IgnoreStopSignals();
            IgnoreRecheckSignal();
            service.StopWorker();
            workerFailed = service.WorkerFailed();
        }
        if (caughtSignal != 0) {
            BOOST_LOG_SEV(*logger, Severity::FATAL) << "caught signal " << caughtSignal;
        }
        logger = nullptr;
        BOOST_LOG_SEV(mainLogger, Severity::INFO) << "Program complete.";
    }
    return FinishLogging(sink, workerFailed ? 1 : 0);
}

}  // namespace
}  // namespace vaultline

int main(int argc, char** argv) {
    return vaultline::Main(argc, argv);
}
