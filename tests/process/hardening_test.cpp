// The real program under a tight descriptor limit with a fleet larger than it, with a standard
// error nobody reads, and behind a resolver that is slow or never answers.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>

#include "support/child_process.h"
#include "support/simulator_harness.h"

using ::testing::EndsWith;
using testing_support::ChildProcess;
using testing_support::CountOf;
using testing_support::FleetAdapter;
using testing_support::FleetServer;
using testing_support::FleetTarget;
using testing_support::ReadFile;
using testing_support::Simulator;
using testing_support::TempDirectory;
using testing_support::WaitUntil;
using Clock = std::chrono::steady_clock;

namespace {

FleetServer Target(const std::string& ip) {
    FleetServer target;
    target.name = "target";
    target.adapters = {FleetAdapter{"eth0", "Onboard NIC", "00:11:22:33:44:55", ip}};
    return target;
}

FleetServer Client(const std::string& name) {
    FleetServer client;
    client.name = name;
    client.targets = {FleetTarget{1, true, "\\\\10.0.0.50\\archive"}};
    return client;
}

// vaultline.conf for the simulator's target and the clients given as address and port.
std::string Configuration(unsigned targetPort,
                          const std::vector<std::pair<std::string, unsigned>>& clients) {
    std::ostringstream xml;
    xml << "<Vaultline>\n  <ArchiveTarget Address=\"127.0.0.1\" Port=\"" << targetPort
        << "\" Username=\"admin\" Password=\"secret\"/>\n"
        << "  <ArchiveClients Username=\"admin\" Password=\"secret\">\n";
    for (const auto& [address, port] : clients) {
        xml << "    <ArchiveClient Address=\"" << address << "\" Port=\"" << port << "\"/>\n";
    }
    xml << "  </ArchiveClients>\n</Vaultline>\n";
    return xml.str();
}

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

// Two clients named in the configuration wait 3 s for each failing lookup, a third one's lookup
// never returns; none of them may hold up the client given by its address, nor the stop.
TEST(Hardening, SlowOrDeadResolverHoldsUpOnlyTheClientsItNames) {
    Simulator simulator({Target("10.0.0.5"), Client("numeric"), Client("named1"), Client("named2"),
                         Client("stuck")});
    TempDirectory directory;
    directory.WriteFile(
        "vaultline.conf",
        Configuration(simulator.Port("target"), {{"127.0.0.1", simulator.Port("numeric")},
                                                 {"named1.slow.test", simulator.Port("named1")},
                                                 {"named2.slow.test", simulator.Port("named2")},
                                                 {"stuck.hang.test", simulator.Port("stuck")}}));
    const std::string gate = (directory.Path() / "resolver-back").string();
    ChildProcess service(
        {"/usr/bin/env", "LD_PRELOAD=" LOOKUP_SHIM_PATH, "ASAN_OPTIONS=verify_asan_link_order=0",
         "LOOKUP_SHIM_GATE=" + gate, "LOOKUP_SHIM_DELAY_MS=3000", VAULTLINE_BINARY, "-c"},
        directory.Path());
    const auto pathOf = [&](const std::string& client) { return simulator.TargetPath(client, 1); };
    ASSERT_TRUE(WaitUntil([&] { return pathOf("numeric") == "\\\\10.0.0.5\\archive"; },
                          std::chrono::seconds(20)))
        << service.Stderr();
    // Both named lookups have failed at least once and are being retried.
    for (const char* named : {"named1", "named2"}) {
        const std::string lost = std::string("connection to ") + named +
                                 ".slow.test:" + std::to_string(simulator.Port(named)) + " lost";
        ASSERT_TRUE(service.WaitForStderr(lost, std::chrono::seconds(20))) << service.Stderr();
    }

    auto moved = std::vector<FleetServer>{Target("10.0.0.77"), Client("numeric"), Client("named1"),
                                          Client("named2"), Client("stuck")};
    moved[1].targets[0].path = "\\\\10.0.0.5\\archive";
    ASSERT_TRUE(simulator.Reload(moved));
    const auto changed = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return pathOf("numeric") == "\\\\10.0.0.77\\archive"; },
                          std::chrono::seconds(20)))
        << service.Stderr();
    const auto followed = Clock::now() - changed;
    std::printf("numeric client followed the change in %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(followed).count()));
    EXPECT_LT(followed, std::chrono::seconds(1));
    EXPECT_EQ(pathOf("named1"), "\\\\10.0.0.50\\archive");

    // The resolver answers again: the named clients' next attempts get through.
    directory.WriteFile("resolver-back", "");
    EXPECT_TRUE(WaitUntil(
        [&] {
            return pathOf("named1") == "\\\\10.0.0.77\\archive" &&
                   pathOf("named2") == "\\\\10.0.0.77\\archive";
        },
        std::chrono::seconds(30)))
        << service.Stderr();
    EXPECT_EQ(pathOf("stuck"), "\\\\10.0.0.50\\archive");

    // A lookup still inside the resolver does not hold up the stop.
    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(std::chrono::seconds(2)), 0);
    EXPECT_THAT(service.Stderr(), EndsWith("INFO    Program complete.\n"));
}

// Standard error is a pipe nobody reads (a pager left open, a terminal paused with Ctrl-S): the
// job goes on, losing log lines, and a stop still ends the program.
TEST(Hardening, StandardErrorNobodyReadsStopsNeitherTheJobNorTheStop) {
    // Enough clients that their lines overflow the log queue many times over.
    constexpr int kClients = 1000;
    std::vector<FleetServer> fleet{Target("10.0.0.5")};
    for (int client = 0; client < kClients; ++client) {
        fleet.push_back(Client("client" + std::to_string(client)));
    }
    Simulator simulator(fleet);
    std::vector<std::pair<std::string, unsigned>> clients;
    for (int client = 0; client < kClients; ++client) {
        clients.emplace_back("127.0.0.1", simulator.Port("client" + std::to_string(client)));
    }
    TempDirectory directory;
    directory.WriteFile("vaultline.conf", Configuration(simulator.Port("target"), clients));

    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    // The smallest pipe, full before the program starts: its first line already finds no room.
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    const std::string filler(4096, 'x');
    while (write(fds[1], filler.data(), filler.size()) > 0) {
    }
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(fds[1], STDERR_FILENO);
        fcntl(STDERR_FILENO, F_SETFL, 0);  // the program sees an ordinary, blocking pipe
        if (chdir(directory.Path().c_str()) == 0) {
            execl(VAULTLINE_BINARY, VAULTLINE_BINARY, "-c", static_cast<char*>(nullptr));
        }
        _exit(127);
    }
    close(fds[1]);

    const std::string rewritten = "\\\\10.0.0.5\\archive";
    const bool converged =
        WaitUntil([&] { return CountOf(ReadFile(simulator.StatePath()), rewritten) == kClients; },
                  std::chrono::seconds(60));
    kill(pid, SIGTERM);
    const auto stopping = Clock::now();
    int status = 0;
    bool ended = false;
    while (!ended && Clock::now() - stopping < std::chrono::seconds(2)) {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        usleep(10'000);
    }
    std::printf("stopped in %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopping)
                        .count()));
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(fds[0]);
    EXPECT_TRUE(converged) << CountOf(ReadFile(simulator.StatePath()), rewritten)
                           << " clients rewritten";
    EXPECT_TRUE(ended) << "SIGTERM did not end the program within 2 s";
    EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
