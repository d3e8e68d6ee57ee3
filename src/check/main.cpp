// vaultline-check: reads the service's configuration, reaches the target and every client, and
// reports what the service would change, changing nothing.
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "base/logging.h"
#include "check/check_options.h"
#include "check/check_run.h"
#include "check/stop_signal.h"

int main(int argc, char** argv) {
    const auto options = BuildCheckOptions();
    CheckOptions parsed;
    std::optional<std::string> commandLineError;
    try {
        parsed = ParseCheckCommandLine(options, argc, argv);
    } catch (const boost::program_options::error& error) {
        commandLineError = error.what();
    }
    if (commandLineError) {
        std::cerr << options << '\n' << *commandLineError << '\n';
        return 1;
    }
    if (parsed.help) {
        std::cout << options;
        return 0;
    }

    // Before the logging thread starts, so that thread inherits the blocked stop signals and only
    // this thread takes them.
    const StopControl stop = InstallCheckStopHandler();
    // Configuration messages reach standard error in the service's console layout.
    const auto sink = InitLogging(1, false);
    // Outside the connection loop's wait, any stage may block (a FIFO for a configuration, a
    // report nobody reads), so there a stop ends the run at once.
    const StopHandling endAtOnce(StopHandling::kEndProcess);
    int status = 1;
    {
        Logger mainLogger;
        logger = &mainLogger;
        status = RunCheck(parsed, stop, std::cout);
        logger = nullptr;
    }
    // When nobody reads standard error, flushing the standard streams at exit would wait for
    // ever; the report on standard output has been flushed already.
    if (!ShutdownLogging(sink)) {
        std::_Exit(status);
    }
    return status;
}
