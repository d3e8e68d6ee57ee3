// vaultline-check: reads the service's configuration, reaches the target and every client, and
// reports what the service would change, changing nothing.
#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/logging.h"
#include "check/check_options.h"
#include "check/client_check.h"
#include "check/report.h"
#include "check/stop_signal.h"
#include "check/target_check.h"
#include "service/configuration.h"

namespace {

// Everything after the command line; returns the exit status.
int Check(const CheckOptions& options) {
    std::vector<Vaultline::Server> servers;
    const bool read =
        ReadConfiguration(options.configuration.c_str(), [&](Vaultline::Server& server) {
            servers.push_back(server);
            return true;
        });
    if (!read) {
        return 1;
    }

    const StopControl stop = InstallCheckStopHandler();
    RoundLimits limits;
    limits.timeout = std::chrono::seconds(options.timeoutSeconds);
    limits.maxOpen = MaxOpenConnections();

    Findings findings;
    findings.target = CheckTarget(servers.front(), limits, stop);
    if (findings.target.Usable()) {
        const std::vector<Vaultline::Server> clients(servers.begin() + 1, servers.end());
        findings.clients = CheckClients(clients, findings.target.archiveAddress, limits, stop);
    }
    if (options.json) {
        WriteJsonReport(std::cout, findings);
    } else {
        WriteTextReport(std::cout, findings);
    }
    std::cout.flush();
    return ExitStatus(findings);
}

}  // namespace

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

    // Configuration messages reach standard error in the service's console layout.
    const auto sink = InitLogging(1, false);
    int status = 1;
    {
        Logger mainLogger;
        logger = &mainLogger;
        status = Check(parsed);
        logger = nullptr;
    }
    ShutdownLogging(sink);
    return status;
}
