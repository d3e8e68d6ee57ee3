// vaultline-check: reads the service's configuration, reaches the target and every client, and
// reports what the service would change, changing nothing.
#include <iostream>

#include "base/command_line.h"
#include "base/logging.h"
#include "check/check_options.h"
#include "check/check_run.h"
#include "check/stop_signal.h"

namespace vaultline {
namespace {

int Main(int argc, char** argv) {
    const auto options = BuildCheckOptions();
    CheckOptions parsed;
    const auto parse = [&] { return ParseCheckCommandLine(options, argc, argv); };
    if (const auto status = AnswerCommandLine(options, parse, std::cerr, parsed)) {
        return *status;
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
    return FinishLogging(sink, status);
}

}  // namespace
}  // namespace vaultline

int main(int argc, char** argv) {
    return vaultline::Main(argc, argv);
}
