// The vaultline program from outside: usage text, command-line errors, log layouts, stopping.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>

#include "support/child_process.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing_support::ChildProcess;
using testing_support::RunToCompletion;
using testing_support::TempDirectory;

namespace {

constexpr const char* kUsage =
    "Quorvant Technologies, Inc. Vaultline 1.0.0.136452:\n"
    "  -h [ --help ]         Show usage\n"
    "  -c [ --console ]      Log to console (repeat for debug)\n"
    "  -j [ --journal ]      Log for systemd-journald (implies -c)\n";

std::vector<std::string> VaultlineCommand(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), VAULTLINE_BINARY);
    return arguments;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A loopback port that nothing listens on, so connection attempts fail and are retried.
unsigned ClosedLoopbackPort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

// Waits until `signalNumber` is no longer pending for the process `pid`.
void WaitUntilTaken(pid_t pid, int signalNumber) {
    const unsigned long long bit = 1ULL << (signalNumber - 1);
    testing_support::WaitUntil(
        [&] {
            std::ifstream status("/proc/" + std::to_string(pid) + "/status");
            for (std::string line; std::getline(status, line);) {
                if (line.rfind("ShdPnd:", 0) == 0) {
                    return (std::stoull(line.substr(7), nullptr, 16) & bit) == 0;
                }
            }
            return true;
        },
        std::chrono::seconds(5));
}

// A working directory whose configuration names a target that never answers.
struct UnreachableTarget {
    UnreachableTarget() {
        directory.WriteFile("vaultline.conf",
                            "<Vaultline><ArchiveTarget Address='127.0.0.1' Username='admin' "
                            "Password='never-logged' Port='" +
                                std::to_string(ClosedLoopbackPort()) +
                                "'/><ArchiveClients Username='u' Password='p'/></Vaultline>");
    }
    TempDirectory directory;
};

TEST(UsageText, HelpPrintsTheUsageTextAloneEvenWithOtherSwitches) {
    for (const auto& arguments : {VaultlineCommand({"--help"}), VaultlineCommand({"-h"}),
                                  VaultlineCommand({"--help", "-c"})}) {
        const auto result = RunToCompletion(arguments);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, kUsage);
        EXPECT_EQ(result.err, "");
    }
}

TEST(UsageText, CommandLineErrorsPrintUsageBlankLineAndMessageWithStatusOne) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-ccc"}, "option '--console' may only be specified 2 times"},
        {{"-c", "-c", "--console"}, "option '--console' may only be specified 2 times"},
        {{"-h", "-x"}, "unrecognised option '-x'"},
        {{"--journal=yes"}, "option '--journal' does not take any arguments"},
        {{"vaultline.conf"}, "too many positional options have been specified on the command line"},
    };
    for (const auto& [arguments, message] : cases) {
        const auto result = RunToCompletion(VaultlineCommand(arguments));
        EXPECT_EQ(result.status, 1) << message;
        EXPECT_EQ(result.out, std::string(kUsage) + "\n" + message + "\n");
        EXPECT_EQ(result.err, "");
    }
}

TEST(StartUp, FailedStartUpLogsItsReasonAndEndsWithStatusZero) {
    TempDirectory emptyDirectory;
    const auto result = RunToCompletion(VaultlineCommand({"--cons"}), emptyDirectory.Path());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    const std::regex layout(R"(\d\d:\d\d:\d\d (INFO    |FATAL   )(.*))");
    const auto lines = SplitLines(result.err);
    ASSERT_EQ(lines.size(), 3u) << result.err;
    std::vector<std::string> messages;
    for (const auto& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, layout)) << line;
        messages.push_back(match[1].str() + match[2].str());
    }
    EXPECT_THAT(messages,
                ElementsAre("INFO    Quorvant Technologies, Inc. Vaultline 1.0.0.136452 started.",
                            "FATAL   unable to open configuration file vaultline.conf",
                            "INFO    Program complete."));
}

TEST(StartUp, BrokenConfigurationEndsWithItsFatalLineAndStatusZero) {
    const std::pair<std::string, std::string> cases[] = {
        {"<Vaultline><ArchiveTarget Address='t'",
         "unable to open configuration file vaultline.conf"},
        {"<Vaultline><ArchiveTarget Address='t' Username='u' Password='p'/></Vaultline>",
         "configuration missing <ArchiveClients>"}};
    for (const auto& [file, fatal] : cases) {
        TempDirectory directory;
        directory.WriteFile("vaultline.conf", file);
        const auto result = RunToCompletion(VaultlineCommand({"-j"}), directory.Path());
        EXPECT_EQ(result.status, 0);
        EXPECT_THAT(result.err, HasSubstr("\n<2>" + fatal + "\n<6>Program complete.\n"));
    }
}

TEST(StartUp, JournalLayoutPrefixesThePriorityAndNothingElse) {
    TempDirectory emptyDirectory;
    const auto result = RunToCompletion(VaultlineCommand({"-j"}), emptyDirectory.Path());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err,
              "<6>Quorvant Technologies, Inc. Vaultline 1.0.0.136452 started.\n"
              "<2>unable to open configuration file vaultline.conf\n"
              "<6>Program complete.\n");
}

TEST(Stopping, SigtermThenSigintReportsTheFirstSignalAndCompletes) {
    UnreachableTarget setting;
    ChildProcess service(VaultlineCommand({"-c"}), setting.directory.Path());
    // The refused connection is found lost; its WARNING shows the one-space padding.
    ASSERT_TRUE(
        service.WaitForStderr(" WARNING connection to 127.0.0.1:", std::chrono::seconds(10)))
        << service.Stderr();
    service.Signal(SIGTERM);
    // Signals pending together are taken lowest number first; send SIGINT once SIGTERM is taken.
    WaitUntilTaken(service.Pid(), SIGTERM);
    service.Signal(SIGINT);
    ASSERT_EQ(service.Wait(std::chrono::seconds(10)), 0);
    const auto lines = SplitLines(service.Stderr());
    ASSERT_GE(lines.size(), 3u);
    EXPECT_THAT(lines[lines.size() - 2], testing::EndsWith(" FATAL   caught signal 15"));
    EXPECT_THAT(lines.back(), testing::EndsWith(" INFO    Program complete."));
    EXPECT_THAT(service.Stderr(), Not(HasSubstr("never-logged")));
}

TEST(Stopping, WithoutSwitchesNothingIsWrittenAndSigintStopsWithStatusZero) {
    UnreachableTarget setting;
    ChildProcess service(VaultlineCommand({}), setting.directory.Path());
    // Nothing to wait for in the output: give start-up time to install the handler.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    service.Signal(SIGINT);
    ASSERT_EQ(service.Wait(std::chrono::seconds(10)), 0);
    EXPECT_EQ(service.Stdout(), "");
    EXPECT_EQ(service.Stderr(), "");
}

TEST(Stopping, JournalLayoutWhileRunningCarriesEveryPriority) {
    UnreachableTarget setting;
    ChildProcess service(VaultlineCommand({"-j", "-cc"}), setting.directory.Path());
    // The refused connection is retried after 5 seconds; its lines show the ERROR or WARNING
    // priorities next to INFO.
    ASSERT_TRUE(service.WaitForStderr("<6>connecting to server", std::chrono::seconds(10)));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    service.Signal(SIGTERM);
    ASSERT_EQ(service.Wait(std::chrono::seconds(10)), 0);
    for (const auto& line : SplitLines(service.Stderr())) {
        EXPECT_TRUE(std::regex_match(line, std::regex(R"(<[2346]>[^<].*)"))) << line;
    }
    EXPECT_THAT(service.Stderr(), HasSubstr("<2>caught signal 15\n<6>Program complete.\n"));
}

}  // namespace
