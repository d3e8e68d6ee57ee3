// The service object's life: the worker without records, SDK instances, closing, teardown order.
#include <gmock/gmock.h>

#include "unit/service_fixture.h"

namespace vaultline {

using ::testing::ElementsAre;
using unit_support::ServiceTest;

namespace {

class ServiceLifecycleTest : public ServiceTest {};

TEST_F(ServiceLifecycleTest, ServiceWithoutConfigurationRunsEmptyPassesAndCallsNoSdk) {
    WaitForPasses(3);
    service.reset();
    EXPECT_TRUE(scripted_sdk::Calls().empty());
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(runningService, nullptr);
}

TEST_F(ServiceLifecycleTest, ConstructionPublishesTheRunningService) {
    EXPECT_EQ(runningService, service.get());
    EXPECT_FALSE(Access().StopRequested());
}

TEST_F(ServiceLifecycleTest, CloseServerLogsAndClosesEveryTime) {
    WriteStandardConfiguration(0);
    ASSERT_TRUE(service->Initialize());
    WaitForPasses(1);
    ConnState state = ConnState::LoggedIn;
    OnWorker([&] {
        scripted_sdk::Deliver(1, KXAPI_EVENT_LOGIN, 0);
        Access().CloseServer(TargetServer());
        Access().CloseServer(TargetServer());
        state = TargetServer().link.State();
    });
    EXPECT_EQ(state, ConnState::Closed);
    EXPECT_EQ(scripted_sdk::Inspect(1).closes, 2);
    const auto lines = log.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "INFO closing connection to 10.0.0.1:22609"),
              2);
}

TEST_F(ServiceLifecycleTest, DestructionCleansUpClientsInOrderThenTheTargetWithoutClosing) {
    WriteStandardConfiguration(2);
    ASSERT_TRUE(service->Initialize());
    WaitForPasses();
    scripted_sdk::ClearCalls();
    service.reset();
    std::vector<std::string> teardown;
    for (const auto& call : scripted_sdk::Calls()) {
        if (call.rfind("Cleanup", 0) == 0 || call.rfind("Close", 0) == 0) {
            teardown.push_back(call);
        }
    }
    EXPECT_THAT(teardown, ElementsAre("Cleanup(2)", "Cleanup(3)", "Cleanup(1)"));
}

}  // namespace

}  // namespace vaultline
