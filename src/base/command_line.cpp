// Reading a command line of options only, as both programs do, and answering --help and errors.
#include "base/command_line.h"

namespace vaultline {

namespace po = boost::program_options;

po::options_description UsageOptions(const std::string& caption) {
    po::options_description options(caption, po::options_description::m_default_line_length,
                                    po::options_description::m_default_line_length / 2);
    options.add_options()("help,h", "Show usage");
    return options;
}

po::variables_map ParseOptionsOnly(const po::options_description& options, int argc,
                                   const char* const* argv) {
    po::variables_map variables;
    // The parser skips argv[0], the program name.
    po::store(po::command_line_parser(argc, argv)
                  .options(options)
                  .positional(po::positional_options_description())
                  .run(),
              variables);
    po::notify(variables);
    return variables;
}

}  // namespace vaultline
