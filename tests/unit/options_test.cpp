// The command line: counted --console, the journal switch, and the option library's errors.
#include <gtest/gtest.h>

#include "app/options.h"

namespace vaultline {

namespace {

struct ParseCase {
    std::vector<const char*> arguments;
    unsigned level;
    bool journal;
    bool help;
};

class CommandLineLevels : public ::testing::TestWithParam<ParseCase> {};

CommandLine Parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "vaultline");
    return ParseCommandLine(BuildOptions(), static_cast<int>(arguments.size()), arguments.data());
}

TEST_P(CommandLineLevels, LevelJournalAndHelpFollowTheSwitches) {
    const auto& expected = GetParam();
    const CommandLine parsed = Parse(expected.arguments);
    EXPECT_EQ(parsed.level, expected.level);
    EXPECT_EQ(parsed.journal, expected.journal);
    EXPECT_EQ(parsed.help, expected.help);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, CommandLineLevels,
    ::testing::Values(ParseCase{{}, 0, false, false}, ParseCase{{"-c"}, 1, false, false},
                      ParseCase{{"-cc"}, 2, false, false}, ParseCase{{"-c", "-c"}, 2, false, false},
                      ParseCase{{"-c", "--console"}, 2, false, false},
                      ParseCase{{"--cons"}, 1, false, false}, ParseCase{{"-j"}, 1, true, false},
                      ParseCase{{"-j", "-cc"}, 2, true, false},
                      ParseCase{{"-c", "-j"}, 1, true, false},
                      ParseCase{{"--help", "-c"}, 1, false, true}));

std::string ErrorOf(std::vector<const char*> arguments) {
    try {
        Parse(std::move(arguments));
    } catch (const boost::program_options::error& error) {
        return error.what();
    }
    return "no error";
}

TEST(CommandLineErrors, ThirdConsoleNamesTheLongOptionAndTheLimit) {
    const std::string expected = "option '--console' may only be specified 2 times";
    EXPECT_EQ(ErrorOf({"-ccc"}), expected);
    EXPECT_EQ(ErrorOf({"-c", "-c", "-c"}), expected);
    EXPECT_EQ(ErrorOf({"-cc", "--console"}), expected);
}

TEST(CommandLineErrors, OptionLibraryMessagesPassThrough) {
    EXPECT_EQ(ErrorOf({"-h", "-x"}), "unrecognised option '-x'");
    EXPECT_EQ(ErrorOf({"--console=1"}), "option '--console' does not take any arguments");
    EXPECT_EQ(ErrorOf({"vaultline.conf"}),
              "too many positional options have been specified on the command line");
}

TEST(LevelValueSemantics, AbsentOptionDefaultsToZeroAndTakesNoTokens) {
    LevelValue value(2);
    boost::any store;
    EXPECT_TRUE(value.apply_default(store));
    EXPECT_EQ(boost::any_cast<uint32_t>(store), 0u);
    EXPECT_EQ(value.min_tokens(), 0u);
    EXPECT_EQ(value.max_tokens(), 0u);
    EXPECT_FALSE(value.is_required());
}

}  // namespace

}  // namespace vaultline
