// The real program under a tight descriptor limit with a fleet larger than it, and with a
// standard error nobody reads.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include <gmock/gmock.h>

#include "support/child_process.h"
#include "support/simulator_harness.h"

using ::testing::EndsWith;
using testing_support::ChildProcess;
using testing_support::FleetAdapter;
using testing_support::FleetServer;
using testing_support::FleetTarget;
using testing_support::Simulator;
using testing_support::TempDirectory;
using testing_support::WaitUntil;

namespace {

TEST(Hardening, FleetLargerThanTheDescriptorLimitConvergesAndStopsCleanly) {
#ifdef VAULTLINE_UNDEFINED_SANITIZER
    // The sanitizer's check of a dynamic type opens a pipe of its own; with every descriptor
    // taken that check fails and ends the program, whatever the program does.
    GTEST_SKIP() << "the undefined-behaviour sanitizer needs descriptors of its own";
#endif
    constexpr int kClients = 60;
    std::vector<FleetServer> fleet;
    FleetServer target;
    target.name = "target";
    target.adapters = {FleetAdapter{"eth0", "Onboard NIC", "00:11:22:33:44:55", "10.0.0.5"}};
    fleet.push_back(target);
    for (int client = 0; client < kClients; ++client) {
        FleetServer server;
        server.name = "client" + std::to_string(client);
        server.targets = {FleetTarget{1, true, "\\\\10.0.0.50\\archive"}};
        fleet.push_back(server);
    }
    Simulator simulator(fleet);

    std::ostringstream xml;
    xml << "<Vaultline>\n  <ArchiveTarget Address=\"127.0.0.1\" Port=\"" << simulator.Port("target")
        << "\" Username=\"admin\" Password=\"secret\"/>\n"
        << "  <ArchiveClients Username=\"admin\" Password=\"secret\">\n";
    for (int client = 0; client < kClients; ++client) {
        xml << "    <ArchiveClient Address=\"127.0.0.1\" Port=\""
            << simulator.Port("client" + std::to_string(client)) << "\"/>\n";
    }
    xml << "  </ArchiveClients>\n</Vaultline>\n";
    TempDirectory directory;
    directory.WriteFile("vaultline.conf", xml.str());

    // Hard and soft limit alike, so raising the soft limit gains nothing: the connections have
    // to take turns.
    ChildProcess service({"/usr/bin/prlimit", "--nofile=48:48", "--", VAULTLINE_BINARY, "-c"},
                         directory.Path());
    const auto converged = [&] {
        for (int client = 0; client < kClients; ++client) {
            if (simulator.TargetPath("client" + std::to_string(client), 1) !=
                "\\\\10.0.0.5\\archive") {
                return false;
            }
        }
        return true;
    };
    const bool allConverged = WaitUntil(converged, std::chrono::seconds(90));
    service.Signal(SIGTERM);
    const auto status = service.Wait(std::chrono::seconds(10));
    const std::string log = service.Stderr();
    ASSERT_TRUE(allConverged) << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
    EXPECT_EQ(status, 0);
    const auto contains = [&log](const std::string& text) {
        return log.find(text) != std::string::npos;
    };
    EXPECT_TRUE(contains("open failed, retrying")) << "the limit should make connections wait";
    EXPECT_FALSE(contains("epoll_wait failed"));
    EXPECT_FALSE(contains("unexpected error"));
    EXPECT_FALSE(contains("127.0.0.1:" + std::to_string(simulator.Port("target")) + " lost"));
    EXPECT_THAT(log, EndsWith("INFO    Program complete.\n"));
}

TEST(Hardening, StandardErrorWithoutAReaderDoesNotEndTheProgram) {
    TempDirectory directory;
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    // No reader from the start: the first line written meets a broken pipe.
    close(fds[0]);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        dup2(fds[1], STDERR_FILENO);
        if (chdir(directory.Path().c_str()) == 0) {
            execl(VAULTLINE_BINARY, VAULTLINE_BINARY, "-c", static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    close(fds[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    // Without a configuration the program ends at once, after writing its lines.
    EXPECT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
