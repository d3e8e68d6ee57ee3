// SIGHUP: changed data reaches logged-in clients, broken files change nothing, servers come and go.
#include <signal.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sdk/kxapi.h"
#include "sdk_test_client.h"
#include "support/simulator_harness.h"

namespace {

using kxapi_testing::SdkClient;
using testing_support::FleetServer;
using testing_support::Simulator;

FleetServer Server(const std::string& name, const std::string& path) {
    FleetServer server;
    server.name = name;
    server.adapters = {{"eth0", "NIC", "00:11:22:33:44:55", "10.0.0.5", true, true}};
    server.targets = {{1, true, path}};
    return server;
}

// Pumps for a short while, for checks that something does not happen.
void Idle(SdkClient& client) {
    client.PumpUntil([] { return false; }, std::chrono::milliseconds(300));
}

TEST(SimulatorReloadTest, ChangedDataIsPushedOnlyToClientsOfChangedServers) {
    Simulator simulator({Server("alpha", "\\\\a\\one"), Server("beta", "\\\\b\\one")});
    SdkClient alpha;
    SdkClient beta;
    ASSERT_TRUE(alpha.ConnectAndLoad(simulator.Port("alpha")));
    ASSERT_TRUE(beta.ConnectAndLoad(simulator.Port("beta")));

    FleetServer changed = Server("alpha", "\\\\a\\two");
    changed.adapters.push_back(
        {"eth1", "Second NIC", "00:11:22:33:44:66", "10.0.1.5", true, false});
    ASSERT_TRUE(simulator.Reload({changed, Server("beta", "\\\\b\\one")}));

    ASSERT_TRUE(alpha.WaitForEvent(KXAPI_EVENT_DATA_READY, 2));
    EXPECT_EQ(alpha.TargetPath(1), "\\\\a\\two");
    ASSERT_TRUE(alpha.Adapter(1).has_value());
    EXPECT_EQ(alpha.Adapter(1)->ip, "10.0.1.5");
    Idle(beta);
    EXPECT_EQ(beta.Count(KXAPI_EVENT_DATA_READY), 1u);
    EXPECT_EQ(simulator.TargetPath("alpha", 1), "\\\\a\\two");
    EXPECT_NE(simulator.Process().Stdout().find("reload result=ok servers=2 changed=1"),
              std::string::npos);
}

TEST(SimulatorReloadTest, BrokenFleetFileKeepsTheRunningFleet) {
    Simulator simulator({Server("alpha", "\\\\a\\one")});
    SdkClient before;
    ASSERT_TRUE(before.ConnectAndLoad(simulator.Port("alpha")));
    std::ofstream(simulator.FleetPath(), std::ios::trunc)
        << "<Fleet><Server name=\"alpha\" port=\"x\" username=\"admin\" password=\"secret\"/>"
           "</Fleet>";
    simulator.Process().Signal(SIGHUP);
    ASSERT_TRUE(simulator.Process().WaitForStdout("reload result=error", std::chrono::seconds(10)));
    EXPECT_NE(simulator.Process().Stderr().find("attribute port"), std::string::npos);

    Idle(before);
    EXPECT_TRUE(before.Connected());
    EXPECT_EQ(before.Count(KXAPI_EVENT_DATA_READY), 1u);
    SdkClient after;
    ASSERT_TRUE(after.ConnectAndLoad(simulator.Port("alpha")));
    EXPECT_EQ(after.TargetPath(1), "\\\\a\\one");
    EXPECT_EQ(simulator.TargetPath("alpha", 1), "\\\\a\\one");
}

TEST(SimulatorReloadTest, AddedServersStartAndRemovedServersStop) {
    Simulator simulator({Server("alpha", "\\\\a\\one"), Server("beta", "\\\\b\\one")});
    SdkClient alpha;
    ASSERT_TRUE(alpha.ConnectAndLoad(simulator.Port("alpha")));

    ASSERT_TRUE(simulator.Reload({Server("beta", "\\\\b\\one"), Server("gamma", "\\\\g\\one")}));
    EXPECT_TRUE(alpha.PumpUntil([&] { return !alpha.Connected(); }));
    ASSERT_NE(simulator.Port("gamma"), 0u);
    SdkClient gamma;
    ASSERT_TRUE(gamma.ConnectAndLoad(simulator.Port("gamma")));
    EXPECT_EQ(gamma.TargetPath(1), "\\\\g\\one");
    EXPECT_EQ(simulator.TargetPath("alpha", 1), "");
    EXPECT_NE(simulator.Process().Stdout().find("added=1 removed=1"), std::string::npos);
}

TEST(SimulatorReloadTest, NewKnobsApplyToNewLoginsOnly) {
    Simulator simulator({Server("alpha", "\\\\a\\one")});
    SdkClient existing;
    ASSERT_TRUE(existing.ConnectAndLoad(simulator.Port("alpha")));
    FleetServer refusing = Server("alpha", "\\\\a\\one");
    refusing.knobs["refuseLogin"] = "true";
    ASSERT_TRUE(simulator.Reload({refusing}));

    SdkClient late;
    ASSERT_EQ(late.Open(simulator.Port("alpha")), 0);
    ASSERT_EQ(late.Login(), 0);
    ASSERT_TRUE(late.WaitForEvent(KXAPI_EVENT_LOGIN));
    EXPECT_EQ(late.Events().front().result, 2);
    Idle(existing);
    EXPECT_TRUE(existing.Connected());
    EXPECT_EQ(existing.Count(KXAPI_EVENT_DATA_READY), 1u);
}

// A reload sets paths to the file's values, so a path a client changed meanwhile is reset when
// the file still names the old one.
TEST(SimulatorReloadTest, ReloadResetsUpdatedPathsToTheFile) {
    Simulator simulator({Server("alpha", "\\\\a\\one")});
    SdkClient client;
    ASSERT_TRUE(client.ConnectAndLoad(simulator.Port("alpha")));
    ASSERT_EQ(client.UpdatePath(1, "\\\\a\\updated"), 0);
    ASSERT_TRUE(client.WaitForEvent(KXAPI_EVENT_CLOSE_REQUEST));
    EXPECT_EQ(simulator.TargetPath("alpha", 1), "\\\\a\\updated");

    ASSERT_TRUE(simulator.Reload({Server("alpha", "\\\\a\\one")}));
    EXPECT_EQ(simulator.TargetPath("alpha", 1), "\\\\a\\one");
    ASSERT_TRUE(client.WaitForEvent(KXAPI_EVENT_DATA_READY, 2));
    EXPECT_EQ(client.TargetPath(1), "\\\\a\\one");
}

}  // namespace
