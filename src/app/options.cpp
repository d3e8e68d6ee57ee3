// The command line: the three switches, the counted --console value and the usage text.
#include "app/options.h"

#include "base/command_line.h"

namespace vaultline {

namespace po = boost::program_options;

const char* const kBanner = "Quorvant Technologies, Inc. Vaultline 1.0.0.136452";

std::string LevelValue::name() const {
    return po::arg;
}

void LevelValue::parse(boost::any& valueStore, const std::vector<std::string>&, bool) const {
    if (valueStore.empty()) {
        valueStore = uint32_t{0};
    }
    auto& count = boost::any_cast<uint32_t&>(valueStore);
    ++count;
    if (count > maxLevels) {
        throw TooManyLevels(maxLevels);
    }
}

bool LevelValue::apply_default(boost::any& valueStore) const {
    valueStore = uint32_t{0};
    return true;
}

TooManyLevels::TooManyLevels(uint32_t maxLevels)
    : error_with_option_name("option '%canonical_option%' may only be specified " +
                             std::to_string(maxLevels) + " times") {}

po::options_description BuildOptions() {
    po::options_description options = UsageOptions(kBanner);
    options.add_options()("console,c", new LevelValue(2), "Log to console (repeat for debug)")(
        "journal,j", "Log for systemd-journald (implies -c)");
    return options;
}

CommandLine ParseCommandLine(const po::options_description& options, int argc,
                             const char* const* argv) {
    po::variables_map variables = ParseOptionsOnly(options, argc, argv);

    CommandLine commandLine;
    commandLine.help = variables.count("help") > 0;
    commandLine.journal = variables.count("journal") > 0;
    commandLine.level = variables["console"].as<uint32_t>();
    if (commandLine.journal && commandLine.level == 0) {
        commandLine.level = 1;
    }
    return commandLine;
}

}  // namespace vaultline
