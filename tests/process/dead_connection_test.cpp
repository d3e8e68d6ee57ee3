// A target connection that goes silent without a reset, made for real: inside a private network
// namespace, a firewall rule drops every packet of the target's port. Needs root, `ip` and `nft`;
// it skips with one line where any is missing.
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "support/child_process.h"
#include "support/simulator_harness.h"

using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::ChildProcess;
using testing_support::FleetAdapter;
using testing_support::FleetServer;
using testing_support::FleetTarget;
using testing_support::RunToCompletion;
using testing_support::Simulator;
using testing_support::TempDirectory;
using testing_support::WaitUntil;

namespace {

using Clock = std::chrono::steady_clock;

// The service notices a dead idle connection after 60 s of silence and one unanswered probe
// 10 s later; two minutes leaves room for a loaded machine.
constexpr auto kLossNoticed = std::chrono::seconds(120);
constexpr auto kJobTimeout = std::chrono::seconds(20);

// The program's full path from PATH or the administrator's folders; empty when there is none.
std::string FindProgram(const std::string& name) {
    std::string folders = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    folders += ":/usr/sbin:/sbin";
    std::istringstream split(folders);
    for (std::string folder; std::getline(split, folder, ':');) {
        const std::filesystem::path candidate = std::filesystem::path(folder) / name;
        if (!folder.empty() && access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    return {};
}

// Moves this process into a network namespace of its own with loopback up, so its rules touch
// nothing outside. Empty on success, otherwise why the test cannot run here.
std::string EnterPrivateNetwork(const std::string& ip) {
    if (ip.empty()) {
        return "no ip program (iproute2)";
    }
    if (unshare(CLONE_NEWNET) != 0) {
        return std::string("cannot create a network namespace (needs root): ") +
               std::strerror(errno);
    }
    const auto up = RunToCompletion({ip, "link", "set", "lo", "up"});
    return up.status == 0 ? std::string() : "cannot bring loopback up: " + up.err;
}

FleetServer TargetServer(const std::string& ip) {
    FleetServer target;
    target.name = "target";
    target.adapters = {FleetAdapter{"eth0", "Onboard NIC", "00:11:22:33:44:55", ip, true, true}};
    return target;
}

FleetServer ClientServer(const std::string& path) {
    FleetServer client;
    client.name = "client";
    client.address = "127.0.0.2";
    client.username = "backup";
    client.targets = {FleetTarget{7, true, path}};
    return client;
}

TEST(DeadConnection, SilentlyDroppedTargetConnectionIsNoticedRetriedAndFollowedAgain) {
    const std::string nft = FindProgram("nft");
    if (nft.empty()) {
        GTEST_SKIP() << "no nft program (nftables); the test needs it to drop packets";
    }
    if (const std::string problem = EnterPrivateNetwork(FindProgram("ip")); !problem.empty()) {
        GTEST_SKIP() << problem;
    }

    std::vector<FleetServer> fleet = {TargetServer("10.0.0.5"),
                                      ClientServer("\\\\old-nas\\archive")};
    Simulator simulator(fleet);
    const unsigned port = simulator.Port("target");
    const std::string target = "127.0.0.1:" + std::to_string(port);
    TempDirectory directory;
    directory.WriteFile(
        "vaultline.conf",
        "<Vaultline><ArchiveTarget Address=\"127.0.0.1\" Port=\"" + std::to_string(port) +
            "\" Username=\"admin\" Password=\"secret\"/>"
            "<ArchiveClients Username=\"backup\" Password=\"secret\">"
            "<ArchiveClient Address=\"127.0.0.2\" Port=\"" +
            std::to_string(simulator.Port("client")) + "\"/></ArchiveClients></Vaultline>");
    ChildProcess service({VAULTLINE_BINARY, "-c"}, directory.Path());
    ASSERT_TRUE(WaitUntil(
        [&] { return simulator.TargetPath("client", 7) == "\\\\10.0.0.5\\archive"; }, kJobTimeout))
        << service.Stderr();

    // Every packet to or from the target's port vanishes, as when a firewall or NAT in between
    // forgets the connection: nothing resets it and nothing is sent on it.
    const std::string dropPort =
        "tcp dport " + std::to_string(port) + " drop; tcp sport " + std::to_string(port) + " drop;";
    const auto drop = directory.WriteFile(
        "drop.nft", "table inet vaultline_test { chain out { type filter hook output priority 0; " +
                        dropPort + " }; }\n");
    const auto blocked = RunToCompletion({nft, "-f", drop.string()});
    ASSERT_EQ(blocked.status, 0) << blocked.err;
    const auto blockedAt = Clock::now();

    const std::string lost = "WARNING connection to " + target + " lost";
    const bool noticed = service.WaitForStderr(lost, kLossNoticed);
    const auto noticedAfter = Clock::now() - blockedAt;
    ASSERT_TRUE(noticed) << "no loss noticed within " << kLossNoticed.count() << " s\n"
                         << service.Stderr();
    std::printf("loss noticed %.0f s after the drop began\n",
                std::chrono::duration<double>(noticedAfter).count());
    const std::string log = service.Stderr();
    EXPECT_NE(log.find("INFO    connecting to server " + target, log.find(lost)), std::string::npos)
        << log;

    const auto lifted = RunToCompletion({nft, "delete", "table", "inet", "vaultline_test"});
    ASSERT_EQ(lifted.status, 0) << lifted.err;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::string now = service.Stderr();
            return now.find("successful login to " + target, now.find(lost)) != std::string::npos;
        },
        kJobTimeout))
        << service.Stderr();

    // The new connection follows the next change: the fleet converges on the new address.
    fleet[0] = TargetServer("10.0.0.77");
    fleet[1].targets[0].path = "\\\\10.0.0.5\\archive";
    ASSERT_TRUE(simulator.Reload(fleet));
    EXPECT_TRUE(WaitUntil(
        [&] { return simulator.TargetPath("client", 7) == "\\\\10.0.0.77\\archive"; }, kJobTimeout))
        << service.Stderr();

    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(std::chrono::seconds(10)), 0);
    EXPECT_THAT(service.Stderr(), Not(HasSubstr("keepalive")));
}

}  // namespace
