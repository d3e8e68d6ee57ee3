// Every client ends up naming the target's current address: a new connection checks again, a
// connection that gets nowhere is retried, rewrites are confirmed, and rechecks check everyone.

#include <gmock/gmock.h>

#include "unit/service_fixture.h"

namespace vaultline {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using unit_support::ServiceTest;
using namespace std::chrono_literals;

namespace {

constexpr int kTarget = 1;
constexpr const char* kStalePath = "\\\\nas\\archive";
constexpr const char* kCorrectPath = "\\\\10.0.0.5\\archive";
const std::vector<std::pair<int, long>> kAnswers = {{KXAPI_EVENT_LOGIN, 0},
                                                    {KXAPI_EVENT_DATA_READY, 0}};

class ConvergenceTest : public ServiceTest {
protected:
    static void ScriptAddress(const std::string& ip) {
        scripted_sdk::Configure(kTarget, [&](scripted_sdk::Connection& c) {
            c.adapters = {scripted_sdk::Adapter{}};
            c.adapters[0].ip = ip;
        });
    }

    static void ScriptPath(int connection, const std::string& path) {
        scripted_sdk::Configure(connection, [&](scripted_sdk::Connection& c) {
            c.targets.resize(1);
            c.targets[0].id = 7;
            c.targets[0].path = path;
        });
    }

    // The server behind `connection` answers every connection with its login and its data.
    static void Answers(int connection, bool appliesUpdates = true) {
        scripted_sdk::Configure(connection, [&](scripted_sdk::Connection& c) {
            c.eventsOnOpen = kAnswers;
            c.applyUpdates = appliesUpdates;
        });
    }

    long CountLines(const std::string& line) const {
        const auto lines = log.Lines();
        return std::count(lines.begin(), lines.end(), line);
    }

    // Waits (generously) for `line` among the lines logged after the first `skip`.
    bool WaitForLine(std::size_t skip, const std::string& line) const {
        return testing_support::WaitUntil(
            [&] {
                const auto lines = log.LinesFrom(skip);
                return std::find(lines.begin(), lines.end(), line) != lines.end();
            },
            5s);
    }
};

// The change lands while a client's data is arriving on its old connection: that connection's
// check arms the guard and its update is discarded when the client is reopened, so the new
// connection must check again.
TEST_F(ConvergenceTest, NewConnectionChecksAgainAfterItsPredecessorCheckedDuringAChange) {
    constexpr int kClient = 2;
    WriteStandardConfiguration(1);
    ScriptAddress("10.0.0.4");
    ScriptPath(kClient, kStalePath);
    ASSERT_TRUE(service->Initialize());
    OnWorker([&] { Access().DoGetAddress(TargetServer()); });
    WaitForPasses(1);
    OnWorker([] { scripted_sdk::Deliver(kClient, KXAPI_EVENT_LOGIN, 0); });

    OnWorker([&] {
        scripted_sdk::Configure(kClient, [](scripted_sdk::Connection& c) {
            c.eventsOnRecv = {{KXAPI_EVENT_DATA_READY, 0}};
        });
        scripted_sdk::MakeReadable(kClient);
        ScriptAddress("10.0.0.5");
        Access().DoGetAddress(TargetServer());
    });
    WaitForPasses(2);
    auto client = scripted_sdk::Inspect(kClient);
    ASSERT_EQ(client.opens, 2);
    ASSERT_EQ(client.updates.size(), 1u);
    ASSERT_EQ(client.updates[0].open, 1) << "the old connection's data came first";

    OnWorker([] {
        scripted_sdk::Deliver(kClient, KXAPI_EVENT_LOGIN, 0);
        scripted_sdk::Deliver(kClient, KXAPI_EVENT_DATA_READY, 0);
    });
    client = scripted_sdk::Inspect(kClient);
    ASSERT_EQ(client.updates.size(), 2u);
    EXPECT_EQ(client.updates[1].open, 2);
    EXPECT_EQ(client.updates[1].path, kCorrectPath);
}

TEST_F(ConvergenceTest, ConnectionThatGetsNowhereIsClosedAndRetried) {
    // The deadlines and retries pass on the service's clock; the rewrites made meanwhile are not
    // to be confirmed within the test.
    ServiceTimes times = TestTimes();
    times.confirmDelay = std::chrono::hours(1);
    Restart(times);
    WriteStandardConfiguration(4);
    ScriptAddress("10.0.0.5");
    for (int connection = 2; connection <= 5; ++connection) {
        ScriptPath(connection, kStalePath);
    }
    ASSERT_TRUE(service->Initialize());
    WaitForPasses(1);
    OnWorker([&] {
        scripted_sdk::Deliver(kTarget, KXAPI_EVENT_LOGIN, 0);
        Access().DoGetAddress(TargetServer());
    });
    WaitForPasses(1);

    struct Case {
        int connection;
        std::vector<int> events;
        const char* warning;  // null: none
        int opens;
    };
    const Case cases[] = {
        {2, {}, "WARNING no login answer from 10.0.1.1:22609 within 30 s; reconnecting", 2},
        {3,
         {KXAPI_EVENT_LOGIN},
         "WARNING no archive target data from 10.0.1.2:22609 within 30 s; reconnecting",
         2},
        {kTarget, {}, "WARNING no adapter data from 10.0.0.1:22609 within 30 s; reconnecting", 2},
        {4, {KXAPI_EVENT_LOGIN, KXAPI_EVENT_CLOSE_REQUEST}, nullptr, 2},
        {5, {KXAPI_EVENT_LOGIN, KXAPI_EVENT_DATA_READY}, nullptr, 1},
    };
    OnWorker([&] {
        for (const Case& c : cases) {
            for (const int event : c.events) {
                scripted_sdk::Deliver(c.connection, event, 0);
            }
        }
    });
    // From now on every server answers, so each retry gets somewhere.
    for (const Case& c : cases) {
        Answers(c.connection);
    }
    // The close queued by the close request runs before the clock jumps past its retry.
    WaitForPasses(2);
    clock.Advance(times.progressTimeout + 1s);
    WaitForPasses(2);
    clock.Advance(times.retryDelay);
    ASSERT_TRUE(testing_support::WaitUntil(
        [] {
            return scripted_sdk::Inspect(2).updates.size() == 1 &&
                   scripted_sdk::Inspect(3).updates.size() == 1 &&
                   scripted_sdk::Inspect(4).updates.size() == 1;
        },
        5s));
    // The new connections got what they awaited: no deadline of theirs passes.
    clock.Advance(times.progressTimeout + 1s);
    WaitForPasses(2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.connection);
        EXPECT_EQ(scripted_sdk::Inspect(c.connection).opens, c.opens);
        if (c.warning != nullptr) {
            EXPECT_EQ(CountLines(c.warning), 1);
        }
        for (const auto& update : scripted_sdk::Inspect(c.connection).updates) {
            EXPECT_EQ(update.open, c.opens);
        }
    }
    EXPECT_EQ(CountLines("INFO closing connection to 10.0.1.3:22609"), 1);
    const auto lines = log.Lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.rfind("WARNING", 0) == 0; }),
              3);
}

// A large data set on a slow link arrives piece by piece; with the SDK reporting the pieces, the
// data deadline runs from the last one, up to a limit for the whole set.
TEST_F(ConvergenceTest, DataDeadlineRunsFromTheLastPieceUpToALimitForTheWholeSet) {
    constexpr int kClient = 2;
    constexpr int kPiece = KXAPI_EVENT_DATA_PROGRESS;
    struct Step {
        std::chrono::seconds advance;  // the clock moves on, then the event (if any) arrives
        int event;
        bool cut;  // the connection has been closed with the warning by now
    };
    struct Case {
        const char* name;
        int connection;
        std::vector<Step> steps;
        const char* warning;  // null: none
        bool checked;
        std::chrono::seconds dataSetLimit = 100s;
    };
    const Case cases[] = {
        {"pieces every 20 s for 40 s, then the data",
         kClient,
         {{0s, KXAPI_EVENT_LOGIN, false},
          {20s, kPiece, false},
          {20s, kPiece, false},
          {20s, KXAPI_EVENT_DATA_READY, false}},
         nullptr,
         true},
        {"silence after the last piece",
         kTarget,
         {{0s, KXAPI_EVENT_LOGIN, false}, {20s, kPiece, false}, {25s, 0, false}, {5s, 0, true}},
         "WARNING no adapter data from 10.0.0.1:22609 within 30 s; reconnecting",
         false},
        {"pieces forever",
         kClient,
         {{0s, KXAPI_EVENT_LOGIN, false},
          {20s, kPiece, false},
          {20s, kPiece, false},
          {20s, kPiece, false},
          {20s, kPiece, false},
          {15s, kPiece, false},
          {5s, kPiece, true}},
         "WARNING no archive target data from 10.0.1.1:22609 within 30 s; reconnecting",
         false},
        {"pieces before the login answer",
         kClient,
         {{20s, kPiece, false}, {10s, 0, true}},
         "WARNING no login answer from 10.0.1.1:22609 within 30 s; reconnecting",
         false},
        {"a limit for the whole set shorter than the wait for a piece",
         kClient,
         {{0s, KXAPI_EVENT_LOGIN, false}, {9s, 0, false}, {2s, 0, true}},
         "WARNING no archive target data from 10.0.1.1:22609 within 30 s; reconnecting",
         false,
         10s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceTimes times = TestTimes();
        times.dataSetLimit = c.dataSetLimit;
        Restart(times);
        WriteStandardConfiguration(1);
        ScriptAddress("10.0.0.5");
        ScriptPath(kClient, kStalePath);
        ASSERT_TRUE(service->Initialize());
        WaitForPasses(1);
        if (c.connection == kClient) {
            // The target's address is known, so the client is connected and awaits its login.
            OnWorker([] {
                scripted_sdk::Deliver(kTarget, KXAPI_EVENT_LOGIN, 0);
                scripted_sdk::Deliver(kTarget, KXAPI_EVENT_DATA_READY, 0);
            });
            ASSERT_TRUE(testing_support::WaitUntil(
                [] { return scripted_sdk::Inspect(kClient).opens == 1; }, 5s));
        }
        const std::size_t mark = log.Lines().size();
        for (const Step& step : c.steps) {
            SCOPED_TRACE(step.advance.count());
            OnWorker([&] {
                clock.Advance(step.advance);
                if (step.event != 0) {
                    scripted_sdk::Deliver(c.connection, step.event, 0);
                }
            });
            if (step.cut) {
                // Earlier cases may have logged the same warning.
                EXPECT_TRUE(WaitForLine(mark, c.warning));
            } else {
                WaitForPasses(2);
            }
            const auto lines = log.LinesFrom(mark);
            EXPECT_EQ(std::count_if(
                          lines.begin(), lines.end(),
                          [](const std::string& line) { return line.rfind("WARNING", 0) == 0; }),
                      step.cut ? 1 : 0);
        }
        EXPECT_EQ(scripted_sdk::Inspect(c.connection).updates.size(), c.checked ? 1u : 0u);
    }
}

// A rewrite is confirmed on a new connection; a client that keeps undoing its rewrites is asked
// less and less often, warned about once, and counted failing until it is found correct.
TEST_F(ConvergenceTest, RewritesAreConfirmedBackingOffWhileTheClientUndoesThem) {
    constexpr int kApplying = 2;
    constexpr int kRejecting = 3;
    const auto updates = [](int connection) {
        return scripted_sdk::Inspect(connection).updates.size();
    };
    for (const char* recheckSeconds : {" RecheckSeconds='7200'", " RecheckSeconds='0'"}) {
        const bool confirming = std::string(recheckSeconds).find("'0'") == std::string::npos;
        SCOPED_TRACE(recheckSeconds);
        Restart();
        WriteStandardConfiguration(2, recheckSeconds);
        ScriptAddress("10.0.0.5");
        Answers(kTarget);
        ScriptPath(kApplying, kStalePath);
        Answers(kApplying, true);
        ScriptPath(kRejecting, kStalePath);
        Answers(kRejecting, false);  // takes every update and applies none
        const std::size_t start = log.Lines().size();
        ASSERT_TRUE(service->Initialize());
        ASSERT_TRUE(WaitForLine(start,
                                "INFO 2 clients checked against 10.0.0.5 after the address "
                                "change: 0 correct, 2 rewritten, 0 failing"));
        if (!confirming) {
            clock.Advance(3600s);
            WaitForPasses();
            EXPECT_EQ(scripted_sdk::Inspect(kRejecting).opens, 1);
            EXPECT_EQ(updates(kRejecting), 1u);
            continue;
        }

        // Each wait doubles; the applying client is confirmed once.
        const std::string warning =
            "WARNING 10.0.1.2: update not applied after 3 attempts; retrying every 480 s";
        for (const auto wait : {60s, 120s, 240s, 480s, 960s}) {
            SCOPED_TRACE(wait.count());
            const std::size_t sent = updates(kRejecting);
            clock.Advance(wait - 2s);
            WaitForPasses();
            EXPECT_EQ(updates(kRejecting), sent) << "confirmed too early";
            clock.Advance(2s);
            ASSERT_TRUE(
                testing_support::WaitUntil([&] { return updates(kRejecting) == sent + 1; }, 5s));
            EXPECT_EQ(CountLines(warning), sent >= 3 ? 1 : 0);
        }
        EXPECT_EQ(scripted_sdk::Inspect(kApplying).opens, 2);
        const auto rejecting = scripted_sdk::Inspect(kRejecting);
        for (std::size_t i = 0; i < rejecting.updates.size(); ++i) {
            EXPECT_EQ(rejecting.updates[i].open, static_cast<int>(i) + 1);
        }
        EXPECT_THAT(Access().Status().Text(clock.Now(), 2),
                    HasSubstr("1 client correct, 0 rewritten, 1 failing"));
        auto lines = log.LinesFrom(start);
        EXPECT_THAT(lines, Contains("DEBUG 10.0.1.1: found archive target \\\\10.0.0.5\\archive"));
        EXPECT_THAT(lines, Contains("INFO 10.0.1.2: setting archive target address to "
                                    "\\\\10.0.0.5\\archive"));

        // A recheck counts it failing too; once it keeps an update, it is correct, unwarned.
        Answers(kRejecting, true);
        std::size_t mark = log.Lines().size();
        service->AskForRecheck();
        ASSERT_TRUE(WaitForLine(mark,
                                "INFO 2 clients checked against 10.0.0.5 after the recheck: 1 "
                                "correct, 0 rewritten, 1 failing"));
        clock.Advance(3840s);
        ASSERT_TRUE(testing_support::WaitUntil(
            [&] {
                return Access()
                           .Status()
                           .Text(clock.Now(), 2)
                           .find("2 clients correct, 0 rewritten, 0 failing") != std::string::npos;
            },
            5s));
        EXPECT_EQ(CountLines(warning), 1);
    }
}

// A recheck that finds every client correct says so in two lines, whatever the fleet's size;
// rechecks asked for while one is under way wait for it and then make one more, however many.
TEST_F(ConvergenceTest, QuietRechecksCoalesceAndLogTwoInfoLines) {
    constexpr int kClients = 5;
    constexpr int kSlow = 2;  // answers only when the test says
    WriteStandardConfiguration(kClients, " RecheckSeconds='0'");
    ScriptAddress("10.0.0.5");
    Answers(kTarget);
    for (int connection = 2; connection <= kClients + 1; ++connection) {
        ScriptPath(connection, kCorrectPath);
        if (connection != kSlow) {
            Answers(connection);
        }
    }
    const auto infoLines = [&](std::size_t from) {
        std::vector<std::string> info;
        for (const auto& line : log.LinesFrom(from)) {
            if (line.rfind("INFO", 0) == 0) {
                info.push_back(line);
            }
        }
        return info;
    };
    const auto rounds = [&] { return CountLines("INFO rechecking 5 clients against 10.0.0.5"); };
    const std::string settled =
        "INFO 5 clients checked against 10.0.0.5 after the recheck: 5 correct, 0 rewritten, 0 "
        "failing";
    ASSERT_TRUE(service->Initialize());

    // Three rounds, each flooded with requests while the slow client holds it open.
    int opens = 0;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(testing_support::WaitUntil(
            [&] { return scripted_sdk::Inspect(kSlow).opens == opens + 1; }, 5s));
        ++opens;
        const std::size_t mark = log.Lines().size();
        for (int i = 0; i < 10000; ++i) {
            service->AskForRecheck();
        }
        WaitForPasses();
        EXPECT_EQ(rounds(), round) << "started before the round settled";
        OnWorker([] {
            scripted_sdk::Deliver(kSlow, KXAPI_EVENT_LOGIN, 0);
            scripted_sdk::Deliver(kSlow, KXAPI_EVENT_DATA_READY, 0);
        });
        ASSERT_TRUE(testing_support::WaitUntil([&] { return rounds() == round + 1; }, 5s));
        if (round > 0) {
            // The round that settled was a recheck of correct clients: its end, the next start.
            EXPECT_THAT(infoLines(mark), ::testing::ElementsAre(settled,
                                                                "INFO rechecking 5 clients against "
                                                                "10.0.0.5"));
        }
    }
    Answers(kSlow);
    OnWorker([] {
        scripted_sdk::Deliver(kSlow, KXAPI_EVENT_LOGIN, 0);
        scripted_sdk::Deliver(kSlow, KXAPI_EVENT_DATA_READY, 0);
    });
    ASSERT_TRUE(testing_support::WaitUntil([&] { return CountLines(settled) == 3; }, 5s));
    WaitForPasses();
    EXPECT_EQ(rounds(), 3) << "no recheck was asked for during the last one";
}

// A client changed behind the service's back is found by the next recheck, periodic or asked
// for; a correct client is checked quietly, a rewrite or a failure is not.
TEST_F(ConvergenceTest, RecheckChecksEveryClientAndReportsTheOutcome) {
    for (const char* recheckSeconds : {" RecheckSeconds='2'", " RecheckSeconds='0'"}) {
        const bool asked = std::string(recheckSeconds).find("'0'") != std::string::npos;
        SCOPED_TRACE(recheckSeconds);
        ServiceTimes times = TestTimes();
        times.retryDelay = 400ms;
        Restart(times);
        WriteStandardConfiguration(4, recheckSeconds);
        ScriptAddress("10.0.0.5");
        Answers(kTarget);
        for (int connection = 2; connection <= 5; ++connection) {
            ScriptPath(connection, kCorrectPath);
            Answers(connection);
        }
        scripted_sdk::Configure(4, [](scripted_sdk::Connection& c) { c.openResult = -1; });
        const std::size_t start = log.Lines().size();
        ASSERT_TRUE(service->Initialize());
        ASSERT_TRUE(WaitForLine(start,
                                "INFO 4 clients checked against 10.0.0.5 after the address "
                                "change: 3 correct, 0 rewritten, 1 failing"));
        ScriptPath(3, kStalePath);
        const std::size_t mark = log.Lines().size();
        if (asked) {
            service->AskForRecheck();
        } else {
            clock.Advance(std::chrono::seconds(2));
        }
        const std::string settled =
            "INFO 4 clients checked against 10.0.0.5 after the recheck: 2 correct, 1 rewritten, "
            "1 failing";
        ASSERT_TRUE(WaitForLine(mark, settled));
        if (asked) {
            // The failing client keeps failing; the recheck has settled once and for all.
            for (int retry = 0; retry < 2; ++retry) {
                clock.Advance(times.retryDelay);
                WaitForPasses(2);
            }
            const auto later = log.LinesFrom(mark);
            EXPECT_EQ(std::count(later.begin(), later.end(), settled), 1);
        }
        const auto lines = log.LinesFrom(mark);
        EXPECT_THAT(lines, Contains("INFO rechecking 4 clients against 10.0.0.5"));
        EXPECT_THAT(lines, Contains("DEBUG connecting to server 10.0.1.1:22609"));
        EXPECT_THAT(lines, Contains("DEBUG 10.0.1.1: found archive target \\\\10.0.0.5\\archive"));
        EXPECT_THAT(lines, Not(Contains("INFO 10.0.1.1: found archive target "
                                        "\\\\10.0.0.5\\archive")));
        EXPECT_THAT(lines, Contains("INFO 10.0.1.2: found archive target \\\\nas\\archive"));
        EXPECT_THAT(lines, Contains("INFO 10.0.1.2: setting archive target address to "
                                    "\\\\10.0.0.5\\archive"));
        EXPECT_THAT(lines, Contains("ERROR open failed, retrying"));
    }
}

}  // namespace

}  // namespace vaultline
