// The connection pool on its own: what each turn of one connection's life tells the listener,
// with time moved by the clock and the listener's queued work run by the test.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "connections/connection_pool.h"
#include "double/manual_clock.h"
#include "double/scripted_kxapi.h"
#include "unit/outcome_word.h"
#include "unit/service_fixture.h"

namespace vaultline {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using unit_support::LogCapture;

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Records what the pool tells it; keeps the work the pool queues for the test to run.
class RecordingListener : public ConnectionListener {
public:
    void ScheduleConnectionTask(const std::function<void()>& task, bool delayed) override {
        if (delayed) {
            said.push_back("retry queued");
            delayedTasks.push_back(task);
        } else {
            tasks.push_back(task);
        }
    }
    bool QuietLogin(const ServerRecord&) override { return false; }
    void DataReady(ServerRecord&) override { said.push_back("data ready"); }
    void CloseRequested(ServerRecord&) override { said.push_back("close requested"); }
    void ConnectionFailed(ServerRecord&, ClientOutcome outcome) override {
        said.push_back(std::string("failed: ") + unit_support::OutcomeWord(outcome));
    }
    void ConnectionEnded(ServerRecord&) override { said.push_back("ended"); }

    // Runs the work queued to run at once, including what that work queues.
    void RunTasks() {
        while (!tasks.empty()) {
            const auto task = tasks.front();
            tasks.erase(tasks.begin());
            task();
        }
    }

    std::vector<std::string> said;
    std::vector<std::function<void()>> tasks;
    std::vector<std::function<void()>> delayedTasks;
};

enum class Step { Connect, Event, Pass, Wait };

struct StepAt {
    Step step;
    int event = 0;  // for Event, delivered on the client's connection with `result`
    long result = 0;
    milliseconds wait{0};  // for Wait
};

struct LifeCase {
    const char* name;
    std::function<void(scripted_sdk::Connection&)> script;
    std::vector<StepAt> steps;
    std::vector<std::string> said;
    std::vector<std::string> lines;  // after "connecting to server"
    ConnState state;
};

void PrintTo(const LifeCase& life, std::ostream* out) {
    *out << life.name;
}

// A fresh scripted SDK for the test, reset again only once every instance has been released.
struct FreshScriptedSdk {
    FreshScriptedSdk() { scripted_sdk::Reset(); }
    ~FreshScriptedSdk() { scripted_sdk::Reset(); }
};

class ConnectionPoolTest : public ::testing::Test {
protected:
    ServerRecord& InstallClient() {
        ServerConfig config;
        config.address = "10.0.1.1";
        config.port = 22609;
        config.username = "backup";
        config.password = "client-secret";
        return *pool.Install(config);
    }

    void Run(const std::vector<StepAt>& steps, ServerRecord& client) {
        AssertWorkerThread();
        for (const StepAt& at : steps) {
            switch (at.step) {
                case Step::Connect:
                    pool.QueueReconnect(client, false);
                    break;
                case Step::Event:
                    scripted_sdk::Deliver(1, at.event, at.result);
                    break;
                case Step::Pass:
                    if (pool.OpenPass()) {
                        pool.ServePass(clock.Now(), [] { return milliseconds(0); });
                    }
                    break;
                case Step::Wait:
                    clock.now += at.wait;
                    break;
            }
            listener.RunTasks();
        }
    }

    static ConnectionTimes Times() {
        ConnectionTimes times;
        times.progressTimeout = seconds(30);
        times.dataSetLimit = seconds(50);
        return times;
    }

    // First, so that it outlives the pool's instances.
    FreshScriptedSdk sdk;
    LogCapture log;
    test_double::ManualClock clock;
    RecordingListener listener;
    ConnectionPool pool{listener, clock, Times()};
};

class ConnectionLifeTest : public ConnectionPoolTest,
                           public ::testing::WithParamInterface<LifeCase> {};

TEST_P(ConnectionLifeTest, OneConnectionsLifeTellsTheListenerWhatHappened) {
    const LifeCase& life = GetParam();
    if (life.script) {
        scripted_sdk::Configure(1, life.script);
    }
    ServerRecord& client = InstallClient();
    Run(life.steps, client);
    AssertWorkerThread();
    EXPECT_THAT(listener.said, ElementsAreArray(life.said));
    std::vector<std::string> lines = log.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "INFO connecting to server 10.0.1.1:22609");
    lines.erase(lines.begin());
    EXPECT_THAT(lines, ElementsAreArray(life.lines));
    EXPECT_EQ(client.link.State(), life.state);
}

const StepAt kConnect{Step::Connect};
const StepAt kLogin{Step::Event, KXAPI_EVENT_LOGIN, 0};
const StepAt kLoginRefused{Step::Event, KXAPI_EVENT_LOGIN, 1};
const StepAt kProgress{Step::Event, KXAPI_EVENT_DATA_PROGRESS, 0};
const StepAt kDataReady{Step::Event, KXAPI_EVENT_DATA_READY, 0};
const StepAt kCloseRequest{Step::Event, KXAPI_EVENT_CLOSE_REQUEST, 0};
const StepAt kPass{Step::Pass};
StepAt Wait(milliseconds wait) {
    return {Step::Wait, 0, 0, wait};
}

const char* const kLoggedIn = "INFO successful login to 10.0.1.1:22609";
const char* const kRetry = "INFO connecting to server 10.0.1.1:22609";

INSTANTIATE_TEST_SUITE_P(
    Lives, ConnectionLifeTest,
    ::testing::Values(
        LifeCase{"LoggedInAndDataReady",
                 {},
                 {kConnect, kPass, kLogin, kPass, kDataReady, kPass},
                 {"ended", "data ready"},
                 {kLoggedIn},
                 ConnState::LoggedIn},
        LifeCase{"OpenFails",
                 [](scripted_sdk::Connection& c) { c.openResult = -1; },
                 {kConnect, kPass},
                 {"ended", "failed: Unreachable", "retry queued"},
                 {"ERROR open failed, retrying", kRetry},
                 ConnState::Closed},
        LifeCase{"LoginRequestRefused",
                 [](scripted_sdk::Connection& c) { c.loginResult = -1; },
                 {kConnect},
                 {"ended", "failed: LoginRefused", "retry queued"},
                 {"ERROR login failed, retrying", kRetry},
                 ConnState::Open},
        LifeCase{"LoginAnswerRefused",
                 {},
                 {kConnect, kLoginRefused},
                 {"ended", "failed: LoginRefused", "retry queued"},
                 {kRetry},
                 ConnState::Open},
        // The deadline holds to the millisecond, and a pass after it drops the connection once.
        LifeCase{"NoLoginAnswerWithinTheTimeout",
                 {},
                 {kConnect, Wait(milliseconds(29999)), kPass, Wait(milliseconds(1)), kPass, kPass},
                 {"ended", "ended", "failed: Stalled", "retry queued"},
                 {"WARNING no login answer from 10.0.1.1:22609 within 30 s; reconnecting", kRetry},
                 ConnState::Closed},
        // Each piece of the data set moves the deadline on, but never past the set's limit.
        LifeCase{"SlowDataSetUpToItsLimit",
                 {},
                 {kConnect, kLogin, Wait(seconds(25)), kProgress, Wait(seconds(20)), kPass,
                  kProgress, Wait(seconds(5)), kPass},
                 {"ended", "ended", "failed: Stalled", "retry queued"},
                 {kLoggedIn,
                  "WARNING no archive target data from 10.0.1.1:22609 within 30 s; reconnecting",
                  kRetry},
                 ConnState::Closed},
        LifeCase{"DataReadyEndsTheWait",
                 {},
                 {kConnect, kLogin, kDataReady, Wait(seconds(60)), kPass},
                 {"ended", "data ready"},
                 {kLoggedIn},
                 ConnState::LoggedIn},
        // The pool leaves the answer to a close request to the listener.
        LifeCase{"CloseRequested",
                 {},
                 {kConnect, kLogin, kCloseRequest},
                 {"ended", "close requested"},
                 {kLoggedIn},
                 ConnState::LoggedIn},
        LifeCase{"SocketGone",
                 [](scripted_sdk::Connection& c) { c.reportSocket = false; },
                 {kConnect, kLogin, kPass, kPass},
                 {"ended", "ended", "failed: Unreachable", "retry queued"},
                 {kLoggedIn, "WARNING connection to 10.0.1.1:22609 lost", kRetry},
                 ConnState::Closed}),
    [](const ::testing::TestParamInfo<LifeCase>& info) { return info.param.name; });

TEST_F(ConnectionPoolTest, EachServerGetsANonBlockingInstanceWithItsRecordAsUserData) {
    {
        // A pool of its own, so that its end shows every instance cleaned up once.
        ConnectionPool ownPool{listener, clock, ConnectionTimes{}};
        ServerConfig config;
        config.address = "10.0.0.9";
        ServerRecord* const client = ownPool.Install(config);
        ASSERT_NE(client, nullptr);
        EXPECT_EQ(scripted_sdk::Inspect(1).userData, ownPool.InstalledClients()[0].get());
        EXPECT_EQ(client->handle.get(), scripted_sdk::Handle(1));
        EXPECT_THAT(scripted_sdk::Calls(),
                    ElementsAre("Init()=1", "SetNonBlocking(1,1)", "SetCallbackEx(1)"));
        // An instance the SDK cannot create installs nothing and is logged once.
        scripted_sdk::FailNextInit();
        EXPECT_EQ(ownPool.Install(config), nullptr);
        EXPECT_EQ(ownPool.InstalledClients().size(), 1u);
        EXPECT_THAT(log.Lines(), ElementsAre("ERROR kxAPI initialization failed"));
    }
    EXPECT_THAT(scripted_sdk::Calls(),
                ElementsAre("Init()=1", "SetNonBlocking(1,1)", "SetCallbackEx(1)", "Init()=null",
                            "Cleanup(0)", "Cleanup(1)"));
}

// Work queued for one connection must not act on the next one, and a flood of requests queues
// one piece of work.
TEST_F(ConnectionPoolTest, ClosesAndAttemptsQueueOnceAndOnlyForTheirOwnConnection) {
    ServerRecord& client = InstallClient();
    AssertWorkerThread();

    for (int request = 0; request < 10000; ++request) {
        pool.QueueReconnect(client, false);
        pool.QueueReconnect(client, true);
    }
    EXPECT_EQ(listener.tasks.size(), 1u);
    EXPECT_TRUE(listener.delayedTasks.empty());
    listener.RunTasks();

    for (int request = 0; request < 10000; ++request) {
        pool.QueueClose(client);
    }
    ASSERT_EQ(listener.tasks.size(), 1u);
    // A new connection opens before the close runs: the close was for the old one.
    const auto staleClose = listener.tasks.front();
    listener.tasks.clear();
    pool.QueueReconnect(client, false);
    listener.RunTasks();
    staleClose();
    EXPECT_EQ(scripted_sdk::Inspect(1).opens, 2);
    EXPECT_EQ(scripted_sdk::Inspect(1).closes, 0);
    EXPECT_EQ(client.link.State(), ConnState::Open);
}

}  // namespace

}  // namespace vaultline
