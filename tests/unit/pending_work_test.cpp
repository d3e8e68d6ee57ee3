// Work that must not multiply with events: one discovery, one connection attempt and one close
// pending at a time, and tasks that die with the connection they were queued for.
#include <thread>

#include <gmock/gmock.h>

#include "unit/service_fixture.h"

namespace vaultline {

using ::testing::ElementsAre;
using unit_support::ServiceTest;

namespace {

constexpr int kTarget = 1;
constexpr int kClient = 2;
constexpr int kFlood = 10'000;
constexpr auto kShortRetry = std::chrono::milliseconds(400);

class PendingWorkTest : public ServiceTest {
protected:
    // Target and one client opened; retries wait `retryDelay` instead of 5 seconds.
    void OpenTargetAndClient(std::chrono::milliseconds retryDelay = kShortRetry) {
        ServiceTimes times = TestTimes();
        times.retryDelay = retryDelay;
        Restart(times);
        WriteStandardConfiguration(1);
        ASSERT_TRUE(service->Initialize());
        OnWorker([&] { Access().QueueReconnect(ClientServer(0), false); });
        WaitForPasses(1);
    }

    static long CountCalls(const std::string& call) {
        const auto calls = scripted_sdk::Calls();
        return std::count(calls.begin(), calls.end(), call);
    }

    long CountLines(const std::string& line) const {
        const auto lines = log.Lines();
        return std::count(lines.begin(), lines.end(), line);
    }

    // The Open, Login and Close calls made on the client, in order.
    static std::vector<std::string> ClientCalls() {
        std::vector<std::string> calls;
        for (const auto& call : scripted_sdk::Calls()) {
            for (const char* prefix : {"Open(2,", "Login(2,", "Close(2)"}) {
                if (call.rfind(prefix, 0) == 0) {
                    calls.push_back(call);
                }
            }
        }
        return calls;
    }

    // Lets the retry delay pass `count` times on the service's clock, each followed by the passes
    // that run what fell due.
    void PassRetryDelays(int count) {
        for (int delay = 0; delay < count; ++delay) {
            clock.Advance(kShortRetry);
            WaitForPasses(2);
        }
    }

    // Delivers `event` `count` times inside one worker task; returns the tasks then queued.
    int64_t Flood(int connection, int event, int count) {
        int64_t queued = -1;
        OnWorker([&] {
            for (int i = 0; i < count; ++i) {
                scripted_sdk::Deliver(connection, event, 0);
            }
            queued = Access().QueuedTasks();
        });
        return queued;
    }
};

TEST_F(PendingWorkTest, DataReadyFloodWithoutAnAddressKeepsOneDiscoveryChain) {
    OpenTargetAndClient();
    // No adapters: every discovery fails and waits for its retry.
    scripted_sdk::ClearCalls();
    EXPECT_EQ(Flood(kTarget, KXAPI_EVENT_DATA_READY, kFlood), 1);
    WaitForPasses(2);
    EXPECT_EQ(CountCalls("GetNetworkInfo(1)"), 1);
    int64_t queued = -1;
    OnWorker([&] { queued = Access().QueuedTasks(); });
    EXPECT_EQ(queued, 1) << "the one retry";

    // A flood while the retry waits runs one discovery now; the waiting retry then does nothing.
    EXPECT_LE(Flood(kTarget, KXAPI_EVENT_DATA_READY, kFlood), 2);
    WaitForPasses(2);
    EXPECT_EQ(CountCalls("GetNetworkInfo(1)"), 2);
    OnWorker([&] { queued = Access().QueuedTasks(); });
    EXPECT_LE(queued, 2) << "the new retry and the replaced one";

    // One chain: about one discovery per retry delay, where two chains would give twice that.
    const long before = CountCalls("GetNetworkInfo(1)");
    PassRetryDelays(5);
    EXPECT_LE(CountCalls("GetNetworkInfo(1)") - before, 6);
    EXPECT_EQ(CountLines("ERROR no connected network adapters found"),
              CountCalls("GetNetworkInfo(1)"));
}

TEST_F(PendingWorkTest, UnreachableClientKeepsOneRetryChainAcrossAddressChanges) {
    OpenTargetAndClient();
    scripted_sdk::Configure(kClient, [](scripted_sdk::Connection& c) { c.openResult = -1; });
    for (int change = 0; change < 6; ++change) {
        scripted_sdk::Configure(kTarget, [change](scripted_sdk::Connection& c) {
            c.adapters = {scripted_sdk::Adapter{}};
            c.adapters[0].ip = "10.0.0." + std::to_string(10 + change);
        });
        OnWorker([&] { Access().DoGetAddress(TargetServer()); });
        WaitForPasses(1);
    }
    // Each change tried at once; the retry left pending is the only one.
    const long afterChanges = CountCalls("Open(2,10.0.1.1,22609)");
    EXPECT_GE(afterChanges, 7);
    int64_t queued = -1;
    OnWorker([&] { queued = Access().QueuedTasks(); });
    EXPECT_LE(queued, 7) << "one live retry and at most one replaced retry per change";

    PassRetryDelays(5);
    EXPECT_LE(CountCalls("Open(2,10.0.1.1,22609)") - afterChanges, 6);
    EXPECT_GE(CountCalls("Open(2,10.0.1.1,22609)") - afterChanges, 1);
}

TEST_F(PendingWorkTest, RefusedLoginAndLostSocketShareOneRetry) {
    OpenTargetAndClient(std::chrono::seconds(5));
    const std::size_t mark = log.Lines().size();
    OnWorker([&] { scripted_sdk::Deliver(kClient, KXAPI_EVENT_LOGIN, 1); });
    scripted_sdk::Configure(kClient, [](scripted_sdk::Connection& c) { c.reportSocket = false; });
    WaitForPasses(2);
    // "connecting" is logged only for an attempt actually queued.
    EXPECT_THAT(log.LinesFrom(mark), ElementsAre("INFO connecting to server 10.0.1.1:22609",
                                                 "WARNING connection to 10.0.1.1:22609 lost"));
    int64_t queued = -1;
    OnWorker([&] { queued = Access().QueuedTasks(); });
    EXPECT_EQ(queued, 1);
}

TEST_F(PendingWorkTest, CloseRequestFloodQueuesAndLogsOneClose) {
    OpenTargetAndClient();
    const std::size_t mark = log.Lines().size();
    EXPECT_EQ(Flood(kClient, KXAPI_EVENT_CLOSE_REQUEST, kFlood), 1);
    WaitForPasses(2);
    EXPECT_THAT(log.LinesFrom(mark), ElementsAre("INFO closing connection to 10.0.1.1:22609"));
    EXPECT_EQ(CountCalls("Close(2)"), 1);
    // A close request on the next connection is honoured again.
    OnWorker([&] { Access().QueueReconnect(ClientServer(0), false); });
    Flood(kClient, KXAPI_EVENT_CLOSE_REQUEST, 3);
    WaitForPasses(2);
    EXPECT_EQ(CountCalls("Close(2)"), 2);
}

// The address moves while the client's close request for the previous update is queued behind
// the new connection's attempt: the close belongs to the old connection and must spare the new.
TEST_F(PendingWorkTest, CloseQueuedForAnEarlierConnectionLeavesTheNewOneOpen) {
    OpenTargetAndClient();
    scripted_sdk::ClearCalls();
    OnWorker([&] {
        Access().QueueReconnect(ClientServer(0), false);
        scripted_sdk::Deliver(kClient, KXAPI_EVENT_CLOSE_REQUEST, 0);
    });
    WaitForPasses(2);
    EXPECT_THAT(ClientCalls(),
                ElementsAre("Open(2,10.0.1.1,22609)", "Login(2,backup,client-secret)"));
    ConnState state = ConnState::Closed;
    OnWorker([&] { state = ClientServer(0).link.State(); });
    EXPECT_EQ(state, ConnState::Open);
    EXPECT_EQ(CountLines("INFO closing connection to 10.0.1.1:22609"), 0);
}

TEST_F(PendingWorkTest, ConnectionLostDuringACheckLetsTheNextConnectionCheckAgain) {
    OpenTargetAndClient(std::chrono::milliseconds(200));
    // The check ends early, as when its connection drops in the middle of it.
    OnWorker([&] {
        scripted_sdk::Deliver(kClient, KXAPI_EVENT_LOGIN, 0);
        scripted_sdk::Deliver(kClient, KXAPI_EVENT_DATA_READY, 0);
    });
    EXPECT_EQ(CountCalls("GetNumTargets(2)"), 1);
    scripted_sdk::Configure(kClient, [](scripted_sdk::Connection& c) { c.reportSocket = false; });
    ASSERT_TRUE(log.WaitFor("WARNING connection to 10.0.1.1:22609 lost", std::chrono::seconds(5)));
    scripted_sdk::Configure(kClient, [](scripted_sdk::Connection& c) { c.reportSocket = true; });
    ASSERT_TRUE(testing_support::WaitUntil([] { return scripted_sdk::Inspect(kClient).opens >= 2; },
                                           std::chrono::seconds(10)));
    WaitForPasses(1);

    OnWorker([&] {
        scripted_sdk::Deliver(kClient, KXAPI_EVENT_LOGIN, 0);
        scripted_sdk::Deliver(kClient, KXAPI_EVENT_DATA_READY, 0);
    });
    EXPECT_EQ(CountCalls("GetNumTargets(2)"), 2);
}

}  // namespace

}  // namespace vaultline
