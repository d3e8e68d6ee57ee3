// vaultline-check's command line: the configuration file, JSON output, the time limit.
#pragma once

#include <string>

#include <boost/program_options.hpp>

namespace vaultline {

struct CheckOptions {
    bool help = false;
    std::string configuration;  // "vaultline.conf" in the working directory unless given
    bool json = false;
    unsigned timeoutSeconds = 10;
};

// The options in the order the usage text lists them.
boost::program_options::options_description BuildCheckOptions();

// Parses the arguments after the program name. Throws the option library's errors, also for a
// time limit outside 1 to 3600 seconds.
CheckOptions ParseCheckCommandLine(const boost::program_options::options_description& options,
                                   int argc, const char* const* argv);

}  // namespace vaultline
