// The command line: the three switches, the counted --console value and the usage text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/program_options.hpp>

namespace vaultline {

extern const char* const kBanner;

// The value of a switch that counts its occurrences, refusing more than `maxLevels`.
class LevelValue : public boost::program_options::value_semantic {
public:
    explicit LevelValue(uint32_t maxLevels) : maxLevels(maxLevels) {}

    std::string name() const override;
    unsigned min_tokens() const override { return 0; }
    unsigned max_tokens() const override { return 0; }
    bool is_composing() const override { return false; }
    bool is_required() const override { return false; }
    void parse(boost::any& valueStore, const std::vector<std::string>& newTokens,
               bool utf8) const override;
    // Absent means level 0, so the variables map always holds a readable count.
    bool apply_default(boost::any& valueStore) const override;
    void notify(const boost::any&) const override {}

    uint32_t maxLevels;
};

// Thrown for one occurrence too many; the option library fills in the option's name.
class TooManyLevels : public boost::program_options::error_with_option_name {
public:
    explicit TooManyLevels(uint32_t maxLevels);
};

// The options in the order the usage text lists them, captioned by the banner.
boost::program_options::options_description BuildOptions();

struct CommandLine {
    bool help = false;
    unsigned level = 0;
    bool journal = false;
};

// Parses the arguments after the program name. Throws the option library's errors.
CommandLine ParseCommandLine(const boost::program_options::options_description& options, int argc,
                             const char* const* argv);

}  // namespace vaultline
