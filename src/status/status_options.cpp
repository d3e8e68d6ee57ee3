// vaultline-status's command line: which file, and which of its views.
#include "status/status_options.h"

#include <cstring>

#include "base/command_line.h"

namespace vaultline {

namespace po = boost::program_options;

const char* const kRuntimeRoot = "/run/vaultline";

po::options_description BuildStatusOptions() {
    po::options_description options = UsageOptions(
        "Usage: vaultline-status [INSTANCE] [options]\n"
        "Shows what the running service knows of every archive client, from its status file "
        "(vaultline@INSTANCE's with INSTANCE)");
    options.add_options()("file", po::value<std::string>()->value_name("PATH"),
                          "Read this status file instead of the unit's")(
        "all", "List every client, not only those that are not correct")(
        "json", "Print the file's data, validated, as JSON")(
        "prometheus", "Print metrics in the Prometheus text format")(
        "check", "Print one line and exit 0 OK, 1 WARNING, 2 CRITICAL or 3 UNKNOWN")(
        "warning-age", po::value<int64_t>()->value_name("SECONDS")->default_value(300),
        "With --check: WARNING for a client off the address this long")(
        "critical-age", po::value<int64_t>()->value_name("SECONDS")->default_value(3600),
        "With --check: CRITICAL for a client off the address, or the target not connected, this "
        "long");
    return options;
}

StatusOptions ParseStatusCommandLine(const po::options_description& options, int argc,
                                     const char* const* argv) {
    po::options_description all(options);
    all.add_options()("instance", po::value<std::string>());
    po::positional_options_description positional;
    positional.add("instance", 1);
    po::variables_map variables;
    po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(),
              variables);
    po::notify(variables);

    StatusOptions parsed;
    parsed.help = variables.count("help") > 0;
    parsed.all = variables.count("all") > 0;
    const int views = static_cast<int>(variables.count("json") + variables.count("prometheus") +
                                       variables.count("check"));
    if (views > 1) {
        throw po::error("choose one of --json, --prometheus and --check");
    }
    parsed.view = variables.count("json") > 0         ? StatusView::Json
                  : variables.count("prometheus") > 0 ? StatusView::Prometheus
                  : variables.count("check") > 0      ? StatusView::Check
                                                      : StatusView::Table;
    if (variables.count("instance") > 0) {
        parsed.instance = variables["instance"].as<std::string>();
        if (parsed.instance.empty() || parsed.instance.find('/') != std::string::npos ||
            parsed.instance == "." || parsed.instance == "..") {
            throw po::error("INSTANCE must name a vaultline@ instance, without '/': " +
                            parsed.instance);
        }
        if (variables.count("file") > 0) {
            throw po::error("give an instance or --file, not both");
        }
    }
    parsed.file = variables.count("file") > 0 ? variables["file"].as<std::string>()
                  : parsed.instance.empty()
                      ? std::string(kRuntimeRoot) + "/status.json"
                      : std::string(kRuntimeRoot) + "/" + parsed.instance + "/status.json";
    parsed.warningAge = variables["warning-age"].as<int64_t>();
    parsed.criticalAge = variables["critical-age"].as<int64_t>();
    if (parsed.warningAge <= 0) {
        throw po::invalid_option_value("--warning-age " + std::to_string(parsed.warningAge));
    }
    if (parsed.criticalAge < parsed.warningAge) {
        throw po::invalid_option_value("--critical-age " + std::to_string(parsed.criticalAge) +
                                       " (below the warning age)");
    }
    return parsed;
}

bool AsksForCheck(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--check") == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace vaultline
