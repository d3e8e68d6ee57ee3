// What each SDK event does on the target and on a client: login outcomes, data ready, close.
#include <set>

#include <gmock/gmock.h>

#include "unit/service_fixture.h"

namespace vaultline {

using ::testing::ElementsAre;
using unit_support::ServiceTest;

namespace {

// Connection 1 is the target, connection 2 the one client.
constexpr int kTarget = 1;
constexpr int kClient = 2;

class EventDispatchTest : public ServiceTest {
protected:
    // Target and client both opened, neither logged in yet.
    void OpenTargetAndClient() {
        WriteStandardConfiguration(1);
        ASSERT_TRUE(service->Initialize());
        OnWorker([&] { Access().QueueReconnect(ClientServer(0), false); });
        WaitForPasses(1);
    }

    Vaultline::Server& ServerOf(int connection) {
        return connection == kTarget ? TargetServer() : ClientServer(0);
    }

    // How many times `call` appears in the SDK call log.
    static long CountCalls(const std::string& call) {
        const auto calls = scripted_sdk::Calls();
        return std::count(calls.begin(), calls.end(), call);
    }
};

struct LoginCase {
    int connection;
    long result;
    const char* line;
};

TEST_F(EventDispatchTest, LoginWithLowByteZeroIsLoggedOnceAndMarksTheServerLoggedIn) {
    OpenTargetAndClient();
    const LoginCase cases[] = {
        {kClient, 0, "INFO successful login to 10.0.1.1:22609"},
        {kTarget, 0, "INFO successful login to 10.0.0.1:22609"},
        {kClient, 0x7f00, "INFO successful login to 10.0.1.1:22609"},
        {kTarget, -256, "INFO successful login to 10.0.0.1:22609"},
    };
    for (const LoginCase& login : cases) {
        SCOPED_TRACE(login.result);
        std::size_t mark = 0;
        ConnState state = ConnState::Closed;
        OnWorker([&] {
            mark = log.Lines().size();
            scripted_sdk::Deliver(login.connection, KXAPI_EVENT_LOGIN, login.result);
            state = ServerOf(login.connection).link.State();
        });
        WaitForPasses(1);
        EXPECT_THAT(log.LinesFrom(mark), ElementsAre(login.line));
        EXPECT_EQ(state, ConnState::LoggedIn);
        EXPECT_EQ(scripted_sdk::Inspect(login.connection).opens, 1);
    }
}

TEST_F(EventDispatchTest, LoginWithLowByteSetQueuesADelayedReconnectAndKeepsTheState) {
    OpenTargetAndClient();
    const LoginCase cases[] = {
        {kTarget, 1, "INFO connecting to server 10.0.0.1:22609"},
        {kClient, 0xff, "INFO connecting to server 10.0.1.1:22609"},
        {kClient, 0x180, "INFO connecting to server 10.0.1.1:22609"},
    };
    // The first failure on a connection queues its retry; later ones find it pending and add
    // neither an attempt nor a line. Each failure comes first on the connection as it is, then
    // after a successful login.
    std::set<int> retryPending;
    for (const LoginCase& login : cases) {
        for (const bool loggedInFirst : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "result " << login.result << ", logged in first " << loggedInFirst);
            const bool firstFailure = retryPending.insert(login.connection).second;
            std::size_t mark = 0;
            ConnState before = ConnState::Closed;
            ConnState after = ConnState::Closed;
            OnWorker([&] {
                if (loggedInFirst) {
                    scripted_sdk::Deliver(login.connection, KXAPI_EVENT_LOGIN, 0);
                }
                before = ServerOf(login.connection).link.State();
                mark = log.Lines().size();
                scripted_sdk::Deliver(login.connection, KXAPI_EVENT_LOGIN, login.result);
                after = ServerOf(login.connection).link.State();
            });
            WaitForPasses(1);
            // No line of its own: only the reconnect's announcement.
            if (firstFailure) {
                EXPECT_THAT(log.LinesFrom(mark), ElementsAre(login.line));
            } else {
                EXPECT_THAT(log.LinesFrom(mark), ElementsAre());
            }
            EXPECT_EQ(after, before);
            // The retry waits its 5 seconds.
            EXPECT_EQ(scripted_sdk::Inspect(login.connection).opens, 1);
        }
    }
}

TEST_F(EventDispatchTest, EventsArrivingDuringAReceiveReachTheHandler) {
    OpenTargetAndClient();
    scripted_sdk::Configure(kClient, [](scripted_sdk::Connection& c) {
        c.eventsOnRecv = {{KXAPI_EVENT_LOGIN, 0}};
    });
    scripted_sdk::MakeReadable(kClient);
    EXPECT_TRUE(log.WaitFor("INFO successful login to 10.0.1.1:22609", std::chrono::seconds(5)));
    ConnState state = ConnState::Closed;
    OnWorker([&] { state = ClientServer(0).link.State(); });
    EXPECT_EQ(state, ConnState::LoggedIn);
}

// Events arriving while a discovery is queued add nothing to it.
TEST_F(EventDispatchTest, DataReadyOnTheTargetStartsOneDiscoveryAfterTheCallback) {
    OpenTargetAndClient();
    scripted_sdk::Configure(kTarget, [](scripted_sdk::Connection& c) {
        c.adapters = {scripted_sdk::Adapter{}};
        c.adapters[0].ip = "10.0.0.7";
    });
    long duringCallbacks = -1;
    OnWorker([&] {
        scripted_sdk::Deliver(kTarget, KXAPI_EVENT_DATA_READY, 0);
        scripted_sdk::Deliver(kTarget, KXAPI_EVENT_DATA_READY, 0);
        duringCallbacks = CountCalls("GetNetworkInfo(1)");
    });
    WaitForPasses(2);
    EXPECT_EQ(duringCallbacks, 0);
    EXPECT_EQ(CountCalls("GetNetworkInfo(1)"), 1);
    EXPECT_TRUE(log.Contains("INFO initial target address is 10.0.0.7; verifying clients"));
    EXPECT_EQ(CountCalls("GetNumTargets(1)"), 0);
}

TEST_F(EventDispatchTest, DataReadyOnAClientVerifiesItsTargetInsideTheCallback) {
    OpenTargetAndClient();
    scripted_sdk::Configure(kClient, [](scripted_sdk::Connection& c) {
        c.targets.resize(1);
        c.targets[0].id = 7;
        c.targets[0].path = "\\\\nas\\archive";
    });
    long duringCallback = -1;
    std::size_t updatesDuringCallback = 0;
    OnWorker([&] {
        LearnTargetAddress("10.0.0.5");
        scripted_sdk::Deliver(kClient, KXAPI_EVENT_DATA_READY, 0);
        duringCallback = CountCalls("GetNumTargets(2)");
        updatesDuringCallback = scripted_sdk::Inspect(kClient).updates.size();
    });
    WaitForPasses(2);
    EXPECT_EQ(duringCallback, 1);
    EXPECT_EQ(updatesDuringCallback, 1u);
    EXPECT_EQ(CountCalls("GetNetworkInfo(2)"), 0);
}

TEST_F(EventDispatchTest, CloseRequestFromAClientClosesItAfterTheCallback) {
    OpenTargetAndClient();
    int closesDuringCallback = -1;
    std::size_t mark = 0;
    OnWorker([&] {
        scripted_sdk::Deliver(kClient, KXAPI_EVENT_LOGIN, 0);
        mark = log.Lines().size();
        scripted_sdk::Deliver(kClient, KXAPI_EVENT_CLOSE_REQUEST, 0);
        closesDuringCallback = scripted_sdk::Inspect(kClient).closes;
    });
    WaitForPasses(2);
    ConnState state = ConnState::LoggedIn;
    OnWorker([&] { state = ClientServer(0).link.State(); });
    EXPECT_EQ(closesDuringCallback, 0);
    EXPECT_EQ(scripted_sdk::Inspect(kClient).closes, 1);
    EXPECT_EQ(state, ConnState::Closed);
    EXPECT_THAT(log.LinesFrom(mark), ElementsAre("INFO closing connection to 10.0.1.1:22609"));
}

TEST_F(EventDispatchTest, EventsWithoutAMeaningChangeNothing) {
    OpenTargetAndClient();
    OnWorker([] {
        scripted_sdk::Deliver(kTarget, KXAPI_EVENT_LOGIN, 0);
        scripted_sdk::Deliver(kClient, KXAPI_EVENT_LOGIN, 0);
    });
    const std::pair<int, int> cases[] = {
        {kTarget, KXAPI_EVENT_CLOSE_REQUEST},
        {kTarget, 1},
        {kTarget, 4},
        {kTarget, 31},
        {kClient, 1},
        {kClient, 4},
        {kClient, 31},
    };
    for (const auto& [connection, event] : cases) {
        SCOPED_TRACE(testing::Message() << "connection " << connection << ", event " << event);
        std::size_t mark = 0;
        int callbackResult = -1;
        OnWorker([&, connection = connection, event = event] {
            scripted_sdk::ClearCalls();
            mark = log.Lines().size();
            callbackResult = scripted_sdk::Deliver(connection, event, 1);
        });
        WaitForPasses(1);
        ConnState state = ConnState::Closed;
        OnWorker([&, connection = connection] { state = ServerOf(connection).link.State(); });
        EXPECT_EQ(callbackResult, 0);
        EXPECT_THAT(log.LinesFrom(mark), ElementsAre());
        EXPECT_THAT(scripted_sdk::Calls(), ElementsAre());
        EXPECT_EQ(state, ConnState::LoggedIn);
    }
}

}  // namespace

}  // namespace vaultline
