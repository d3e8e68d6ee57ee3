// Seeded misbehaviour: random refusals and drops are reproducible and never upset SDK or simulator.
#include <cstdio>
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

FleetServer Flaky(const std::string& name, unsigned seed) {
    FleetServer server;
    server.name = name;
    server.knobs = {
        {"refuseProbability", "0.4"}, {"dropProbability", "0.5"}, {"seed", std::to_string(seed)}};
    server.targets = {{1, true, "\\\\10.0.0.9\\archive"}};
    return server;
}

// Logs in `rounds` times in a row and returns the outcomes, 'A'ccepted or 'R'efused.
std::string LoginOutcomes(Simulator& simulator, const std::string& server, int rounds) {
    std::string outcomes;
    SdkClient client;
    for (int round = 0; round < rounds; ++round) {
        const std::size_t logins = client.Count(KXAPI_EVENT_LOGIN);
        if (client.Open(simulator.Port(server)) != 0 || client.Login() != 0 ||
            !client.WaitForEvent(KXAPI_EVENT_LOGIN, logins + 1)) {
            return outcomes + "?";
        }
        outcomes += client.Events().back().result == 0 ? 'A' : 'R';
    }
    return outcomes;
}

TEST(SimulatorSoakTest, SameSeedGivesTheSameRefusals) {
    const unsigned seed = 4242;
    std::printf("seed %u\n", seed);
    Simulator first({Flaky("flaky", seed)});
    Simulator second({Flaky("flaky", seed)});
    const std::string outcomes = LoginOutcomes(first, "flaky", 20);
    EXPECT_EQ(outcomes, LoginOutcomes(second, "flaky", 20));
    EXPECT_NE(outcomes.find('A'), std::string::npos) << outcomes;
    EXPECT_NE(outcomes.find('R'), std::string::npos) << outcomes;
    EXPECT_NE(first.Process().Stdout().find("seed name=flaky seed=4242"), std::string::npos);
}

// Many clients keep reconnecting to servers that refuse and drop at random.
TEST(SimulatorSoakTest, ChurnEndsWithEveryoneStillStanding) {
    const unsigned seed = 9001;
    std::printf("seed %u\n", seed);
    std::vector<FleetServer> fleet;
    for (unsigned index = 0; index < 8; ++index) {
        fleet.push_back(Flaky("flaky" + std::to_string(index), seed + index));
    }
    Simulator simulator(fleet);
    std::vector<std::unique_ptr<SdkClient>> clients;
    for (std::size_t index = 0; index < fleet.size(); ++index) {
        clients.push_back(std::make_unique<SdkClient>());
    }
    int dataSets = 0;
    for (int round = 0; round < 6; ++round) {
        for (std::size_t index = 0; index < clients.size(); ++index) {
            SdkClient& client = *clients[index];
            if (!client.Connected()) {
                ASSERT_EQ(client.Open(simulator.Port(fleet[index].name)), 0);
                ASSERT_EQ(client.Login(), 0);
            }
            client.PumpUntil([] { return false; }, std::chrono::milliseconds(100));
        }
    }
    for (const auto& client : clients) {
        dataSets += static_cast<int>(client->Count(KXAPI_EVENT_DATA_READY));
    }
    EXPECT_GT(dataSets, 0);
    for (std::size_t index = 0; index < fleet.size(); ++index) {
        SdkClient probe;  // the server still answers
        ASSERT_EQ(probe.Open(simulator.Port(fleet[index].name)), 0);
        ASSERT_EQ(probe.Login(), 0);
        EXPECT_TRUE(probe.WaitForEvent(KXAPI_EVENT_LOGIN)) << fleet[index].name;
    }
    EXPECT_EQ(simulator.Stop(), 0);
}

}  // namespace
