// The operator's on-change command run by the real program against simulated servers: its
// variables at each moment, a clean start, coalescing, its output, its time limit and the stop.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include "fleet_fixture.h"

using process_support::ClientServer;
using process_support::EndToEnd;
using process_support::kJobTimeout;
using process_support::kSlowdown;
using process_support::TargetServer;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::CountOf;
using testing_support::ReadFile;
using testing_support::WaitUntil;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// Every line the command writes to the file "runs" in its working directory, the service's.
constexpr const char* kRecordRun = R"(
case "$VAULTLINE_EVENT" in
address) echo "address $VAULTLINE_OLD_ADDRESS -> $VAULTLINE_NEW_ADDRESS" ;;
settled) echo "settled $VAULTLINE_ADDRESS $VAULTLINE_REASON $VAULTLINE_CORRECT/$VAULTLINE_REWRITTEN/$VAULTLINE_FAILING" ;;
esac >>runs
)";

class OnChange : public EndToEnd {
protected:
    // An executable script in the scratch directory; a shell script unless `interpreter` is
    // empty and the body names its own.
    std::string Script(const std::string& name, const std::string& body,
                       const std::string& interpreter = "#!/bin/sh\n") {
        const auto path = directory.WriteFile(name, interpreter + body);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        return path.string();
    }

    // <OnChange> running `command`, with TimeoutSeconds when given.
    static std::string Element(const std::string& command, const std::string& timeout = "") {
        return "  <OnChange Command=\"" + command + "\"" +
               (timeout.empty() ? "" : " TimeoutSeconds=\"" + timeout + "\"") + "/>\n";
    }

    std::vector<std::string> Lines(const std::string& name) {
        std::vector<std::string> lines;
        std::istringstream text(ReadFile(directory.Path() / name));
        for (std::string line; std::getline(text, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    bool Stale(const std::string& client, const std::string& address) {
        return simulator->TargetPath(client, 7) != "\\\\" + address + "\\archive";
    }
};

// Ended, or a zombie nobody has collected yet.
bool Gone(pid_t pid) {
    if (kill(pid, 0) != 0) {
        return true;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    for (int i = 0; i < 3 && stat >> field; ++i) {
    }
    return field == "Z";
}

TEST_F(OnChange, EachMomentReachesACleanCommandWithItsVariables) {
    // The command notes its signal state, descriptors and environment as the service left them
    // (in Perl, as a shell would clear the signal mask first), then records the moment.
    Script("record", kRecordRun);
    const std::string command = Script("inspect", R"(#!/usr/bin/perl
open(my $state, '>', 'state');
open(my $status, '<', '/proc/self/status');
print $state grep(/^Sig(Blk|Ign)/, <$status>);
opendir(my $fds, '/proc/self/fd');
print $state map { "$_ " . (readlink("/proc/self/fd/$_") // '') . "\n" } readdir($fds);
open(my $environment, '>', 'environment');
print $environment map { "$_=$ENV{$_}\n" } sort keys %ENV;
exec('/bin/sh', 'record');
)",
                                       "");
    // A descriptor the service inherits without close-on-exec, as the vendor's SDK may leave one.
    const int leaked = open(directory.WriteFile("leaked", "").c_str(), O_RDONLY);
    Start({TargetServer("10.0.0.5"), ClientServer("stale", "127.0.0.2", "\\\\nas\\archive"),
           ClientServer("correct", "127.0.0.3", "\\\\10.0.0.5\\archive")},
          " RecheckSeconds=\"0\"", Element(command));
    close(leaked);
    const auto recorded = [&](std::size_t count) {
        return WaitUntil([&] { return Lines("runs").size() >= count; }, kJobTimeout);
    };
    ASSERT_TRUE(recorded(2)) << service->Stderr();

    auto moved = fleet;
    moved[0] = TargetServer("10.0.0.77");
    ASSERT_TRUE(simulator->Reload(moved));
    ASSERT_TRUE(recorded(4)) << service->Stderr();
    service->Signal(SIGUSR1);
    ASSERT_TRUE(recorded(5)) << service->Stderr();
    ASSERT_TRUE(LogShows("INFO    on-change command (settled) exited with status 0\n"));

    EXPECT_THAT(Lines("runs"),
                ElementsAre("address  -> 10.0.0.5", "settled 10.0.0.5 change 1/1/0",
                            "address 10.0.0.5 -> 10.0.0.77", "settled 10.0.0.77 change 0/2/0",
                            "settled 10.0.0.77 recheck 2/0/0"));
    // No signal blocked (the worker thread blocks SIGUSR1) and SIGPIPE not ignored (the service
    // ignores it), standard input empty, and nothing of the service's open.
    const std::string state = ReadFile(directory.Path() / "state");
    const auto mask = [&](const std::string& name) {
        const auto at = state.find(name + ":\t");
        return at == std::string::npos
                   ? ~0ULL
                   : std::stoull(state.substr(at + name.size() + 2, 16), nullptr, 16);
    };
    EXPECT_EQ(mask("SigBlk"), 0U) << state;
    EXPECT_EQ(mask("SigIgn") & (1U << (SIGPIPE - 1)), 0U) << state;
    EXPECT_THAT(state, HasSubstr("\n0 /dev/null\n")) << state;
    EXPECT_THAT(state, HasSubstr("\n1 pipe:")) << state;
    EXPECT_THAT(state, HasSubstr("\n2 pipe:")) << state;
    EXPECT_THAT(state, Not(HasSubstr("leaked"))) << state;
    const std::string environment = ReadFile(directory.Path() / "environment");
    EXPECT_THAT(environment, HasSubstr("VAULTLINE_EVENT=settled\n"));
    EXPECT_THAT(environment, Not(HasSubstr("secret")));
    StopAndExpectCleanEnd();
}

// The command ignores SIGTERM and starts a child that does too: a timeout, or the service's stop,
// ends both with SIGKILL, and neither holds up the job or the stop for longer than it may.
TEST_F(OnChange, CommandThatIgnoresTerminationIsKilledWithWhatItStarted) {
    for (const bool timeout : {true, false}) {
        SCOPED_TRACE(timeout ? "timeout" : "stop");
        EndCase();
        const std::string command = Script("stubborn", R"(
[ "$VAULTLINE_EVENT" = settled ] && exit 0
trap '' TERM
sleep 60 &
echo "$$ $!" >pids
wait
)");
        std::filesystem::remove(directory.Path() / "pids");
        Start({TargetServer("10.0.0.5"), ClientServer("stale", "127.0.0.2", "\\\\nas\\archive")},
              "", Element(command, timeout ? "1" : "60"));
        ASSERT_TRUE(WaitUntil([&] { return Lines("pids").size() == 1; }, kJobTimeout))
            << service->Stderr();
        pid_t commandPid = 0;
        pid_t childPid = 0;
        std::istringstream(Lines("pids")[0]) >> commandPid >> childPid;
        // The fleet converges while the command hangs.
        ASSERT_TRUE(WaitUntil([&] { return !Stale("stale", "10.0.0.5"); }, kJobTimeout));

        if (timeout) {
            ASSERT_TRUE(
                LogShows("WARNING on-change command (address) still running after 1 s; "
                         "terminating it\n"));
            const auto warned = Clock::now();
            ASSERT_TRUE(LogShows("INFO    on-change command (settled) exited with status 0\n"));
            EXPECT_GE(Clock::now() - warned, 4500ms);
            // The timeout's WARNING is the only line about the killed run.
            EXPECT_EQ(CountOf(service->Stderr(), "on-change command (address)"), 1)
                << service->Stderr();
            EXPECT_TRUE(Gone(commandPid));
            EXPECT_TRUE(Gone(childPid));
            StopAndExpectCleanEnd();
        } else {
            const auto stopping = Clock::now();
            StopAndExpectCleanEnd();
            const auto took = Clock::now() - stopping;
            EXPECT_GE(took, 1900ms);
            EXPECT_LE(took, 4s * kSlowdown);
            EXPECT_THAT(service->Stderr(),
                        HasSubstr("INFO    on-change command (address) still running at the "
                                  "stop; terminating it\n"));
            EXPECT_TRUE(WaitUntil([&] { return Gone(commandPid) && Gone(childPid); }, 2s));
        }
    }
}

TEST_F(OnChange, ChangesWhileACommandRunsLeaveAtMostTwoFurtherRunsTheLastWithTheFinalAddress) {
    // The first run takes long; the changes arrive meanwhile.
    const std::string command = Script("slow", std::string(kRecordRun) + R"(
[ -e slowed ] && exit 0
: >slowed
sleep )" + std::to_string(4 * kSlowdown) + "\n");
    Start({TargetServer("10.0.0.5"), ClientServer("stale", "127.0.0.2", "\\\\nas\\archive")}, "",
          Element(command));
    ASSERT_TRUE(WaitUntil([&] { return Lines("runs").size() == 1; }, kJobTimeout))
        << service->Stderr();
    auto moved = fleet;
    for (int change = 1; change <= 5; ++change) {
        moved[0] = TargetServer("10.0.1." + std::to_string(change));
        ASSERT_TRUE(simulator->Reload(moved));
        std::this_thread::sleep_for(200ms);
    }
    ASSERT_TRUE(WaitUntil([&] { return !Stale("stale", "10.0.1.5"); }, kJobTimeout));
    ASSERT_TRUE(WaitUntil([&] { return Lines("runs").back() == "settled 10.0.1.5 change 0/1/0"; },
                          kJobTimeout))
        << ReadFile(directory.Path() / "runs");
    // Time for a run that should not come.
    std::this_thread::sleep_for(1s);

    // One run tells of all five changes at once, from the address the command last heard of.
    EXPECT_THAT(Lines("runs"), ElementsAre("address  -> 10.0.0.5", "address 10.0.0.5 -> 10.0.1.5",
                                           "settled 10.0.1.5 change 0/1/0"));
    StopAndExpectCleanEnd();
}

TEST_F(OnChange, OutputIsLoggedEscapedAndCutAndTheExitEndsTheRun) {
    const std::string command = Script("chatty", R"(
[ "$VAULTLINE_EVENT" = settled ] && exit 0
head -c 5000 /dev/zero | tr '\0' x
echo
printf 'bell\a clear\033[2J tab\t end\n'
seq 10000
printf 'no newline'
sleep 60 &
echo $! >lingering
exit 3
)");
    Start({TargetServer("10.0.0.5")}, "", Element(command));
    ASSERT_TRUE(LogShows("WARNING on-change command (address) exited with status 3\n"))
        << service->Stderr();
    // A child still holding the output open does not hold up the next run.
    ASSERT_TRUE(LogShows("INFO    on-change command (settled) exited with status 0\n"));

    const std::string log = service->Stderr();
    EXPECT_THAT(
        log, HasSubstr("INFO    on-change: " + std::string(4096, 'x') + " (cut at 4096 bytes)\n"));
    EXPECT_THAT(log, HasSubstr("INFO    on-change: bell\\x07 clear\\x1b[2J tab\\x09 end\n"));
    EXPECT_THAT(log, HasSubstr("INFO    on-change: 98\n"));
    EXPECT_THAT(log, Not(HasSubstr("on-change: 99\n")));
    EXPECT_EQ(CountOf(log, "on-change: "), 100);
    EXPECT_THAT(log, HasSubstr("INFO    on-change command (address): 9903 more output lines "
                               "not logged\n"));
    kill(std::stoi(Lines("lingering").at(0)), SIGKILL);
    StopAndExpectCleanEnd();
}

TEST_F(OnChange, CommandThatCannotBeStartedGivesOneWarningPerMomentAndNothingElse) {
    const struct {
        const char* name;
        bool exists;
        const char* reason;
    } cases[] = {{"missing", false, "No such file or directory"},
                 {"not-executable", true, "Permission denied"}};
    for (const auto& example : cases) {
        SCOPED_TRACE(example.name);
        EndCase();
        const auto path = directory.Path() / example.name;
        if (example.exists) {
            directory.WriteFile(example.name, "#!/bin/sh\nexit 0\n");
        }
        Start({TargetServer("10.0.0.5"), ClientServer("stale", "127.0.0.2", "\\\\nas\\archive")},
              "", Element(path.string()));
        ASSERT_TRUE(
            LogShows("1 client checked against 10.0.0.5 after the address change: "
                     "0 correct, 1 rewritten, 0 failing"));
        EXPECT_TRUE(WaitUntil([&] { return !Stale("stale", "10.0.0.5"); }, kJobTimeout));
        const std::string cannot = "WARNING on-change command " + path.string();
        ASSERT_TRUE(LogShows(cannot + " (settled) could not be started: " + example.reason + "\n"));
        EXPECT_THAT(
            service->Stderr(),
            HasSubstr(cannot + " (address) could not be started: " + example.reason + "\n"));
        EXPECT_EQ(CountOf(service->Stderr(), "on-change"), 2) << service->Stderr();
        StopAndExpectCleanEnd();
    }
}

}  // namespace
