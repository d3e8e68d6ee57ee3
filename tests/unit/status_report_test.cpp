// The status line, its once-a-second limit, the watchdog's timing and the outcomes behind them.
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "service/status_report.h"
#include "unit/service_fixture.h"

namespace vaultline {

using ::testing::MatchesRegex;
using unit_support::ServiceTest;
using namespace std::chrono_literals;

namespace {

using Clock = StatusReport::Clock;
const Clock::time_point kStart = Clock::now();

// Client records are known to the report only by address; these stand in for them.
const int kClients[6] = {};

// Local time is UTC while a test holds one of these, so "since" times are predictable.
class UtcTimeZone {
public:
    UtcTimeZone() {
        const char* const previous = std::getenv("TZ");
        if (previous != nullptr) {
            previous_ = previous;
        }
        setenv("TZ", "UTC0", 1);
        tzset();
    }
    ~UtcTimeZone() {
        if (previous_) {
            setenv("TZ", previous_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

private:
    std::optional<std::string> previous_;
};

// 2026-12-09 14:02:11 UTC.
constexpr std::time_t kLearnedAt = 1796824931;

// An address learned and the next recheck due `wait` from kStart.
void Recheck(StatusReport& report, Clock::duration wait) {
    report.TargetAddressChanged("10.0.0.5", kLearnedAt);
    report.RecheckScheduled(kStart + wait);
}

TEST(StatusReportTest, LineShowsTheTargetTheOutcomeCountsAndThePendingRetry) {
    UtcTimeZone utc;
    struct Case {
        const char* name;
        std::function<void(StatusReport&)> events;
        std::size_t clients;
        const char* line;
    };
    const Case cases[] = {
        {"nothing known yet", [](StatusReport&) {}, 3, "waiting for the target's address"},
        {"target unreachable", [](StatusReport& report) { report.RetryQueued(kStart + 4200ms); }, 3,
         "waiting for the target's address; next retry in 5 s"},
        {"address known, nothing checked",
         [](StatusReport& report) { report.TargetAddressChanged("10.0.0.5", kLearnedAt); }, 3,
         "target 10.0.0.5 (since 14:02:11); 0 clients correct, 0 rewritten, 0 failing, "
         "3 unchecked"},
        {"every kind of outcome",
         [](StatusReport& report) {
             report.TargetAddressChanged("10.0.0.5", kLearnedAt);
             const ClientOutcome outcomes[] = {
                 ClientOutcome::Correct,     ClientOutcome::Rewritten,
                 ClientOutcome::Unreachable, ClientOutcome::LoginRefused,
                 ClientOutcome::BadFormat,   ClientOutcome::UpdateFailed};
             for (int i = 0; i < 6; ++i) {
                 report.RecordOutcome(&kClients[i], outcomes[i]);
             }
         },
         6, "target 10.0.0.5 (since 14:02:11); 1 client correct, 1 rewritten, 4 failing"},
        {"a later outcome replaces the earlier one",
         [](StatusReport& report) {
             report.TargetAddressChanged("10.0.0.5", kLearnedAt);
             report.RecordOutcome(&kClients[0], ClientOutcome::Unreachable);
             report.RecordOutcome(&kClients[0], ClientOutcome::Rewritten);
             report.RecordOutcome(&kClients[1], ClientOutcome::NoTarget);
         },
         2, "target 10.0.0.5 (since 14:02:11); 0 clients correct, 1 rewritten, 1 failing"},
        {"a new address forgets every outcome",
         [](StatusReport& report) {
             report.TargetAddressChanged("10.0.0.5", kLearnedAt);
             report.RecordOutcome(&kClients[0], ClientOutcome::Correct);
             report.RecordOutcome(&kClients[1], ClientOutcome::Correct);
             report.TargetAddressChanged("10.0.0.77", kLearnedAt + 3600);
             report.RecordOutcome(&kClients[1], ClientOutcome::Rewritten);
         },
         2,
         "target 10.0.0.77 (since 15:02:11); 0 clients correct, 1 rewritten, 0 failing, "
         "1 unchecked"},
        {"the earliest of several retries, one of which has run",
         [](StatusReport& report) {
             report.TargetAddressChanged("10.0.0.5", kLearnedAt);
             report.RecordOutcome(&kClients[0], ClientOutcome::Unreachable);
             report.RetryQueued(kStart + 1s);
             report.RetryQueued(kStart + 3s);
             report.RetryQueued(kStart + 3s);
             report.RetryRan(kStart + 1s);
         },
         1,
         "target 10.0.0.5 (since 14:02:11); 0 clients correct, 0 rewritten, 1 failing; "
         "next retry in 3 s"},
        {"rechecks every hour, 41.5 minutes to go",
         [](StatusReport& report) {
             report.TargetAddressChanged("10.0.0.5", kLearnedAt);
             report.RecheckScheduled(kStart + 41min + 30s);
         },
         0,
         "target 10.0.0.5 (since 14:02:11); 0 clients correct, 0 rewritten, 0 failing; "
         "next recheck in 42 min"},
        {"under a minute to go", [](StatusReport& report) { Recheck(report, 58500ms); }, 0,
         "target 10.0.0.5 (since 14:02:11); 0 clients correct, 0 rewritten, 0 failing; "
         "next recheck in 59 s"},
        {"over an hour to go", [](StatusReport& report) { Recheck(report, 64min + 10s); }, 0,
         "target 10.0.0.5 (since 14:02:11); 0 clients correct, 0 rewritten, 0 failing; "
         "next recheck in 1 h 5 min"},
        {"whole hours to go", [](StatusReport& report) { Recheck(report, 2h); }, 0,
         "target 10.0.0.5 (since 14:02:11); 0 clients correct, 0 rewritten, 0 failing; "
         "next recheck in 2 h"},
        {"rechecks off",
         [](StatusReport& report) {
             report.TargetAddressChanged("10.0.0.5", kLearnedAt);
             report.RecheckScheduled(std::nullopt);
         },
         0,
         "target 10.0.0.5 (since 14:02:11); 0 clients correct, 0 rewritten, 0 failing; "
         "rechecks off"},
        {"a retry that is due but has not run yet",
         [](StatusReport& report) { report.RetryQueued(kStart - 10ms); }, 0,
         "waiting for the target's address; next retry in 0 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StatusReport report;
        c.events(report);
        EXPECT_EQ(report.Text(kStart, c.clients), c.line);
    }
}

TEST(StatusReportTest, LineIsSentWhenItChangesButNeverTwiceWithinASecond) {
    StatusReport report;
    EXPECT_EQ(report.Pass(kStart, 2), "STATUS=waiting for the target's address");
    // Nothing changed: nothing to send, however long it has been.
    EXPECT_EQ(report.Pass(kStart + 100ms, 2), "");
    EXPECT_EQ(report.Pass(kStart + 5s, 2), "");

    // A change within the second after a line went out waits for the second to end.
    const auto sent = kStart + 5s;
    report.TargetAddressChanged("10.0.0.5", kLearnedAt);
    EXPECT_THAT(report.Pass(sent, 2), testing::StartsWith("STATUS=target 10.0.0.5 "));
    report.RecordOutcome(&kClients[0], ClientOutcome::Correct);
    for (auto at = sent + 100ms; at < sent + 1s; at += 100ms) {
        EXPECT_EQ(report.Pass(at, 2), "");
    }
    report.RecordOutcome(&kClients[1], ClientOutcome::Correct);
    EXPECT_THAT(report.Pass(sent + 1s, 2), testing::EndsWith("; 2 clients correct, 0 rewritten, "
                                                             "0 failing"));

    // A change that is undone before the line could go out sends nothing.
    report.RecordOutcome(&kClients[1], ClientOutcome::Unreachable);
    report.RecordOutcome(&kClients[1], ClientOutcome::Correct);
    EXPECT_EQ(report.Pass(sent + 3s, 2), "");
}

TEST(StatusReportTest, PendingRetryCountsDownOnceASecond) {
    StatusReport report;
    report.RetryQueued(kStart + 5s);
    std::vector<std::string> sent;
    for (auto at = kStart; at <= kStart + 5s; at += 100ms) {
        const std::string message = report.Pass(at, 0);
        if (!message.empty()) {
            sent.push_back(message);
        }
    }
    EXPECT_THAT(sent,
                testing::ElementsAre("STATUS=waiting for the target's address; next retry in 5 s",
                                     "STATUS=waiting for the target's address; next retry in 4 s",
                                     "STATUS=waiting for the target's address; next retry in 3 s",
                                     "STATUS=waiting for the target's address; next retry in 2 s",
                                     "STATUS=waiting for the target's address; next retry in 1 s",
                                     "STATUS=waiting for the target's address; next retry in 0 s"));
    report.RetryRan(kStart + 5s);
    EXPECT_EQ(report.Pass(kStart + 6s, 0), "STATUS=waiting for the target's address");
}

TEST(StatusReportTest, RecheckCountdownIsSentWhenTheShownTimeChanges) {
    StatusReport report;
    Recheck(report, 2min);
    EXPECT_THAT(report.Pass(kStart, 0), testing::EndsWith("; next recheck in 2 min"));
    EXPECT_EQ(report.Pass(kStart + 30s, 0), "");
    EXPECT_THAT(report.Pass(kStart + 61s, 0), testing::EndsWith("; next recheck in 59 s"));
}

TEST(StatusReportTest, WatchdogIsPingedTwicePerIntervalFromThePasses) {
    StatusReport report(2s);
    EXPECT_EQ(report.Pass(kStart, 0), "WATCHDOG=1\nSTATUS=waiting for the target's address");
    std::vector<Clock::duration> pings;
    // Passes 100 ms apart, some of them late.
    auto at = kStart;
    for (int pass = 1; pass <= 100; ++pass) {
        at += pass % 7 == 0 ? 180ms : 100ms;
        if (report.Pass(at, 0) == "WATCHDOG=1") {
            pings.push_back(at - kStart);
        }
    }
    ASSERT_GE(pings.size(), 10u);
    Clock::duration previous{};
    for (const auto ping : pings) {
        // Never sooner than needed, never later than half the interval.
        EXPECT_GE(ping - previous, 900ms);
        EXPECT_LE(ping - previous, 1000ms + 80ms);
        previous = ping;
    }
}

TEST(StatusReportTest, NoWatchdogIntervalMeansNoPings) {
    StatusReport report;
    report.Pass(kStart, 0);
    for (auto at = kStart; at < kStart + 60s; at += 100ms) {
        EXPECT_EQ(report.Pass(at, 0), "");
    }
}

// The service's own events feed the counts.
class ServiceStatusTest : public ServiceTest {};

TEST_F(ServiceStatusTest, ChecksAndFailedConnectionsAreCountedPerClient) {
    WriteStandardConfiguration(5);
    scripted_sdk::Configure(1, [](scripted_sdk::Connection& c) {
        scripted_sdk::Adapter adapter;
        adapter.ip = "10.0.0.5";
        c.adapters = {adapter};
    });
    const std::pair<int, std::string> paths[] = {
        {2, "\\\\10.0.0.5\\archive"}, {3, "\\\\nas\\archive"}, {4, "archive"}};
    for (const auto& [connection, path] : paths) {
        scripted_sdk::Configure(connection, [path = path](scripted_sdk::Connection& c) {
            scripted_sdk::Target target;
            target.id = 1;
            target.path = path;
            c.targets = {target};
        });
    }
    scripted_sdk::Configure(6, [](scripted_sdk::Connection& c) { c.openResult = -1; });
    ASSERT_TRUE(service->Initialize());
    OnWorker([&] { Access().DoGetAddress(TargetServer()); });
    WaitForPasses(2);
    OnWorker([] {
        for (int connection = 2; connection <= 4; ++connection) {
            scripted_sdk::Deliver(connection, KXAPI_EVENT_LOGIN, 0);
            scripted_sdk::Deliver(connection, KXAPI_EVENT_DATA_READY, 0);
        }
        scripted_sdk::Deliver(5, KXAPI_EVENT_LOGIN, 1);
    });

    std::string line;
    OnWorker([&] { line = Access().Status().Text(Clock::now(), Access().ClientCount()); });
    EXPECT_THAT(line,
                MatchesRegex("target 10\\.0\\.0\\.5 \\(since [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\); "
                             "1 client correct, 1 rewritten, 3 failing; next recheck in 60 min; "
                             "next retry in [45] s"));
}

}  // namespace

}  // namespace vaultline
