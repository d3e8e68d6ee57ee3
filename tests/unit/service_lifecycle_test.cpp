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

TEST_F(ServiceLifecycleTest, FailedSdkInstanceLogsOnceAndIsCleanedUpOnceAsNull) {
    scripted_sdk::FailNextInit();
    {
        Vaultline::Server server;
        EXPECT_EQ(Access().InitServer(server), nullptr);
        EXPECT_EQ(server.handle.get(), nullptr);
        EXPECT_THAT(log.Lines(), ElementsAre("ERROR kxAPI initialization failed"));
        EXPECT_THAT(scripted_sdk::Calls(), ElementsAre("Init()=null"));
    }
    EXPECT_THAT(scripted_sdk::Calls(), ElementsAre("Init()=null", "Cleanup(0)"));
}

TEST_F(ServiceLifecycleTest, InitServerSetsNonBlockingAndRegistersTheRecordAsUserData) {
    Vaultline::Server server;
    server.config.address = "10.0.0.9";
    auto record = Access().InitServer(server);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->service, service.get());
    EXPECT_EQ(record->server.handle, server.handle);
    EXPECT_THAT(scripted_sdk::Calls(),
                ElementsAre("Init()=1", "SetNonBlocking(1,1)", "SetCallbackEx(1)"));
    EXPECT_EQ(scripted_sdk::Inspect(1).userData, record.get());
}

TEST_F(ServiceLifecycleTest, CloseServerLogsClearsTheGuardAndClosesEveryTime) {
    WriteStandardConfiguration(0);
    ASSERT_TRUE(service->Initialize());
    OnWorker([&] {
        TargetServer().link.state = ConnState::LoggedIn;
        Access().CloseServer(TargetServer());
        Access().CloseServer(TargetServer());
    });
    EXPECT_EQ(TargetServer().link.state, ConnState::Closed);
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
