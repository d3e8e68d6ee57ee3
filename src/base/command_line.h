// Reading a command line of options only, as both programs do, and answering --help and errors.
#pragma once

#include <iostream>
#include <optional>
#include <ostream>
#include <string>

#include <boost/program_options.hpp>

namespace vaultline {

// The options captioned `caption`, laid out as both programs' usage texts are, holding the first
// one both programs list: --help (-h), "Show usage".
boost::program_options::options_description UsageOptions(const std::string& caption);

// The options given after the program name, checked against `options`; there are no positional
// arguments. Throws the option library's errors.
boost::program_options::variables_map ParseOptionsOnly(
    const boost::program_options::options_description& options, int argc, const char* const* argv);

// Fills `parsed` with `parse()`, which throws the option library's errors. Returns the exit
// status once the command line has been answered: 1 after writing the usage text and the error
// to `errors`, 0 after writing the usage text to standard output when `parsed.help` is set.
// Returns nothing when the program is to run.
template <class Parsed, class Parse>
std::optional<int> AnswerCommandLine(const boost::program_options::options_description& options,
                                     const Parse& parse, std::ostream& errors, Parsed& parsed) {
    std::optional<std::string> error;
    try {
        parsed = parse();
    } catch (const boost::program_options::error& thrown) {
        error = thrown.what();
    }
    if (error) {
        errors << options << '\n' << *error << '\n';
        return 1;
    }
    if (parsed.help) {
        std::cout << options;
        return 0;
    }
    return std::nullopt;
}

}  // namespace vaultline
