// The status file's data: client entries by outcome, the address history, when writes are due,
// and the writer's atomic replacement and its one warning.
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "service/status_file.h"
#include "service/status_file_writer.h"
#include "support/child_process.h"
#include "unit/service_fixture.h"

namespace vaultline {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;
using TimePoint = StatusFile::TimePoint;

namespace {

const TimePoint kStart = std::chrono::steady_clock::now();
constexpr std::time_t kCalendarStart = 1796824931;  // 2026-12-09 14:02:11 UTC
// Client records are known to the status file only by address; these stand in for them.
const int kClients[6] = {};

int64_t At(std::chrono::seconds offset) {
    return kCalendarStart + offset.count();
}

ServerConfig Config(const std::string& address, bool isTarget = false) {
    return ServerConfig{address, "user-name-x", "password-y", 22609, isTarget};
}

// A file with the target and six clients, started at kStart, with the address learned 10 s in.
StatusFile SixClients() {
    StatusFile file;
    file.SetTarget(Config("10.0.0.1", true));
    for (int i = 0; i < 6; ++i) {
        file.AddClient(&kClients[i], Config("10.0.1." + std::to_string(i + 1)));
    }
    file.Configure(4242, kStart, kCalendarStart, 5s, true);
    file.AddressChanged("10.0.0.5", kStart + 10s);
    file.RoundStarted(false, kStart + 10s + 3600s);
    return file;
}

}  // namespace

TEST(StatusFileTest, EntriesShowEachClientsOutcomeTimesAndLastFailure) {
    StatusFile file = SixClients();
    const TimePoint t = kStart + 20s;
    file.RecordFound(&kClients[0], "\\\\10.0.0.5\\share");
    file.RecordOutcome(&kClients[0], ClientOutcome::Correct, t, std::nullopt);
    file.RecordFound(&kClients[1], "\\\\old\x1b[31m\\share");
    file.RecordRewrite(&kClients[1], "\\\\10.0.0.5\\share", t);
    file.RecordOutcome(&kClients[1], ClientOutcome::Rewritten, t, t + 60s);
    file.RecordOutcome(&kClients[2], ClientOutcome::LoginRefused, t, std::nullopt);
    file.RecordOutcome(&kClients[2], ClientOutcome::Unreachable, t + 5s, std::nullopt);
    file.RecordOutcome(&kClients[3], ClientOutcome::BadFormat, t, std::nullopt);
    file.RecordOutcome(&kClients[4], ClientOutcome::Stalled, t, std::nullopt);
    file.RecordOutcome(&kClients[4], ClientOutcome::Correct, t + 5s, std::nullopt);

    const StatusDocument document = file.Snapshot(kStart + 30s, At(30s), {});
    struct Expected {
        const char* outcome;
        int64_t since;
        int64_t failures;
        const char* lastFailure;
        StatusTime nextDue;
        const char* foundHost;
    };
    const Expected expected[] = {
        {"correct", At(20s), 0, "", std::nullopt, "10.0.0.5"},
        {"awaiting confirmation", At(20s), 0, "", At(80s), "old\\x1b[31m"},
        {"unreachable", At(20s), 2, "connection lost", At(30s), ""},
        {"bad format", At(20s), 1, "malformed path", std::nullopt, ""},
        {"correct", At(25s), 0, "no answer in time", std::nullopt, ""},
        {"not yet checked", At(10s), 0, "", std::nullopt, ""},
    };
    ASSERT_EQ(document.clients.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i) {
        const StatusClient& client = document.clients[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(client.address, "10.0.1." + std::to_string(i + 1));
        EXPECT_EQ(client.outcome, expected[i].outcome);
        EXPECT_EQ(client.since, expected[i].since);
        EXPECT_EQ(client.consecutiveFailures, expected[i].failures);
        EXPECT_EQ(client.lastFailure, expected[i].lastFailure);
        EXPECT_EQ(client.nextDue, expected[i].nextDue);
        EXPECT_EQ(client.foundHost, expected[i].foundHost);
    }
    EXPECT_EQ(document.clients[1].writtenHost, "10.0.0.5");
    EXPECT_EQ(document.clients[1].writtenAt, At(20s));
    EXPECT_EQ(document.counters.at("rewrites"), 1);
    EXPECT_EQ(document.counters.at("checks_correct"), 2);
    EXPECT_EQ(document.failures.at("unreachable"), 1);
    EXPECT_EQ(document.failures.at("login refused"), 1);
    EXPECT_EQ(document.targetServer, "10.0.0.1:22609");
    EXPECT_EQ(document.nextRecheck, At(3610s));
    EXPECT_EQ(document.pid, 4242);

    const std::string json = StatusJson(document);
    EXPECT_THAT(json, Not(HasSubstr("password-y")));
    EXPECT_THAT(json, Not(HasSubstr("user-name-x")));
    EXPECT_THAT(json, Not(HasSubstr("\x1b")));
    const auto parsed = ParseStatusJson(json);
    ASSERT_TRUE(std::holds_alternative<StatusDocument>(parsed)) << std::get<std::string>(parsed);
    EXPECT_EQ(StatusJson(std::get<StatusDocument>(parsed)), json);
}

TEST(StatusFileTest, AnAddressChangeRestartsEveryClientAndTheHistoryKeepsSixteen) {
    StatusFile file = SixClients();
    file.RecordOutcome(&kClients[0], ClientOutcome::Correct, kStart + 20s, std::nullopt);
    for (int i = 0; i < 20; ++i) {
        file.AddressChanged("10.0.0." + std::to_string(10 + i), kStart + 30s + i * 1s);
    }
    const StatusDocument document = file.Snapshot(kStart + 60s, At(60s), {});
    ASSERT_EQ(document.history.size(), kAddressHistory);
    EXPECT_EQ(document.history.front().address, "10.0.0.14");
    EXPECT_EQ(document.history.back().address, "10.0.0.29");
    EXPECT_EQ(document.history.back().learned, At(49s));
    EXPECT_EQ(document.currentAddress, "10.0.0.29");
    EXPECT_EQ(document.addressSince, At(49s));
    EXPECT_EQ(document.counters.at("address_changes"), 20);
    EXPECT_EQ(document.clients[0].outcome, "not yet checked");
    EXPECT_EQ(document.clients[0].since, At(49s));
}

TEST(StatusFileTest, WritesAreDueOnChangeOnceASecondAtEverySettleAndEveryMinute) {
    StatusFile file = SixClients();
    const auto due = [&](std::chrono::milliseconds at) {
        return file.Due(kStart + at, At(std::chrono::duration_cast<std::chrono::seconds>(at)), {})
            .has_value();
    };
    EXPECT_TRUE(due(0ms));  // the first pass
    EXPECT_FALSE(due(100ms));
    file.RecordOutcome(&kClients[0], ClientOutcome::Correct, kStart + 200ms, std::nullopt);
    EXPECT_FALSE(due(900ms));
    EXPECT_TRUE(due(1000ms));
    file.RoundSettled(kStart + 1100ms);
    EXPECT_TRUE(due(1100ms));
    EXPECT_FALSE(due(59000ms));
    EXPECT_TRUE(due(61100ms));
    file.TargetConnection(true, true, kStart + 61200ms);
    EXPECT_FALSE(due(61500ms));
    EXPECT_TRUE(due(62100ms));
}

TEST(StatusFileTest, WriterReplacesTheFileWholeAndWarnsOnceWhileItCannotWrite) {
    unit_support::LogCapture log;
    testing_support::TempDirectory directory;
    const std::string path = (directory.Path() / "status.json").string();
    StatusDocument document;
    document.targetServer = "10.0.0.1:22609";

    EXPECT_EQ(ReplaceFile(path, StatusJson(document)), 0);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(testing_support::ReadFile(path), StatusJson(document));

    const std::string missing = (directory.Path() / "gone" / "status.json").string();
    StatusFileWriter writer;
    writer.Start(missing);
    for (int i = 0; i < 3; ++i) {
        writer.Offer(document);
    }
    document.state = "stopped";
    writer.Finish(document, 10s);
    const std::string warning = "WARNING status file " + missing +
                                " not written; error 2: No such file or directory; the service "
                                "goes on without it";
    int warnings = 0;
    for (const std::string& line : log.Lines()) {
        warnings += line == warning;
    }
    EXPECT_EQ(warnings, 1);
    EXPECT_FALSE(writer.Enabled());

    EXPECT_EQ(StatusFilePath(std::nullopt, "/run/vaultline:/run/other"),
              "/run/vaultline/status.json");
    EXPECT_EQ(StatusFilePath(std::string("/var/x.json"), "/run/vaultline"), "/var/x.json");
    EXPECT_EQ(StatusFilePath(std::nullopt, ""), "");
    EXPECT_EQ(StatusFilePath(std::nullopt, nullptr), "");
}

}  // namespace vaultline
