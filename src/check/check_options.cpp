// vaultline-check's command line: the configuration file, JSON output, the time limit.
#include "check/check_options.h"

#include "base/command_line.h"
#include "configuration/configuration.h"

namespace vaultline {

namespace po = boost::program_options;

namespace {
constexpr unsigned kMaxTimeoutSeconds = 3600;
}  // namespace

po::options_description BuildCheckOptions() {
    po::options_description options = UsageOptions(
        "Usage: vaultline-check [options]\n"
        "Shows what Vaultline would change on each archive client, changing nothing");
    options.add_options()(
        "config", po::value<std::string>()->value_name("PATH"),
        "Read this configuration file instead of vaultline.conf in the working directory")(
        "json", "Print the report as one JSON document")(
        "timeout", po::value<unsigned>()->value_name("SECONDS")->default_value(10),
        "Time allowed for each server, 1 to 3600");
    return options;
}

CheckOptions ParseCheckCommandLine(const po::options_description& options, int argc,
                                   const char* const* argv) {
    po::variables_map variables = ParseOptionsOnly(options, argc, argv);

    CheckOptions parsed;
    parsed.help = variables.count("help") > 0;
    parsed.json = variables.count("json") > 0;
    parsed.configuration =
        variables.count("config") > 0 ? variables["config"].as<std::string>() : kConfigurationFile;
    parsed.timeoutSeconds = variables["timeout"].as<unsigned>();
    if (parsed.timeoutSeconds == 0 || parsed.timeoutSeconds > kMaxTimeoutSeconds) {
        throw po::invalid_option_value("--timeout " + std::to_string(parsed.timeoutSeconds));
    }
    return parsed;
}

}  // namespace vaultline
