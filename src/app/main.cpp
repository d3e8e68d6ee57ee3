// The process: command line, logging, the service's life and the exit status.
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "app/options.h"
#include "app/process_setup.h"
#include "app/signals.h"
#include "base/logging.h"
#include "service/vaultline.h"

int main(int argc, char** argv) {
    const auto options = BuildOptions();
    CommandLine commandLine;
    std::optional<std::string> commandLineError;
    try {
        commandLine = ParseCommandLine(options, argc, argv);
    } catch (const boost::program_options::error& error) {
        commandLineError = error.what();
    }
    if (commandLineError) {
        std::cout << options << '\n' << *commandLineError << '\n';
        return 1;
    }
    if (commandLine.help) {
        std::cout << options;
        return 0;
    }

    IgnoreBrokenPipes();
    // A recheck asked for before the service can take it must not end the process.
    IgnoreRecheckSignal();
    RaiseDescriptorLimit();
    const auto sink = InitLogging(commandLine.level, commandLine.journal);
    bool workerFailed = false;
    {
        Logger mainLogger;
        BOOST_LOG_SEV(mainLogger, INFO) << kBanner << " started.";
        logger = &mainLogger;
        {
            Vaultline service;
            InstallStopHandler();
            InstallRecheckHandler();
            service.Run();
            IgnoreStopSignals();
            IgnoreRecheckSignal();
            service.StopWorker();
            workerFailed = service.workerFailed;
        }
        if (caughtSignal != 0) {
            BOOST_LOG_SEV(*logger, FATAL) << "caught signal " << caughtSignal;
        }
        logger = nullptr;
        BOOST_LOG_SEV(mainLogger, INFO) << "Program complete.";
    }
    const int status = workerFailed ? 1 : 0;
    // Writes every queued line, then ends the feeding thread here rather than in the exit
    // handlers, where it would still be running while static objects are torn down. When nobody
    // reads standard error, flushing the standard streams at exit would wait for ever.
    if (!ShutdownLogging(sink)) {
        std::_Exit(status);
    }
    return status;
}
