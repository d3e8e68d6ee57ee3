// vaultline-status's views of a document: the check's exit statuses and performance data, the
// metrics against a strict reading of the exposition format, and the table's width.
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "status/status_views.h"

namespace vaultline {

namespace {

constexpr int64_t kNow = 1796824931;

// A service at 10.0.0.5 for an hour, logged in, with three clients; the file written 5 s ago.
StatusDocument Fleet() {
    StatusDocument document;
    document.pid = 4242;
    document.started = kNow - 3600;
    document.updated = kNow - 5;
    document.targetServer = "10.0.0.1:22609";
    document.connection = "logged in";
    document.connectionSince = kNow - 3600;
    document.currentAddress = "10.0.0.5";
    document.addressSince = kNow - 3000;
    document.history = {{"10.0.0.4", kNow - 3590}, {"10.0.0.5", kNow - 3000}};
    document.nextRecheck = kNow + 600;
    document.lastSettled = kNow - 2990;
    document.counters = {{"address_changes", 1}, {"rewrites", 4}};
    document.failures = {{"unreachable", 7}};
    for (const char* outcome : {"correct", "awaiting confirmation", "correct"}) {
        StatusClient client;
        client.address = "10.0.1." + std::to_string(document.clients.size() + 1);
        client.port = 22609;
        client.outcome = outcome;
        client.since = kNow - 2990;
        document.clients.push_back(client);
    }
    return document;
}

// The third client failing since `ago` seconds.
StatusDocument Failing(int64_t ago) {
    StatusDocument document = Fleet();
    document.clients[2].outcome = "unreachable";
    document.clients[2].since = kNow - ago;
    document.clients[2].consecutiveFailures = 3;
    return document;
}

}  // namespace

TEST(StatusCheckTest, ExitStatusFollowsAgesStalenessAndTheProcess) {
    StatusDocument stopped = Fleet();
    stopped.state = "stopped";
    StatusDocument stale = Fleet();
    stale.updated = kNow - 181;
    StatusDocument disconnected = Fleet();
    disconnected.connection = "closed";
    disconnected.connectionSince = kNow - 3601;
    StatusDocument briefly = Fleet();
    briefly.connection = "open";
    briefly.connectionSince = kNow - 60;
    const struct {
        const char* name;
        StatusDocument document;
        bool alive;
        CheckStatus status;
        const char* starts;
    } cases[] = {
        {"all correct or confirming", Fleet(), true, kCheckOk, "VAULTLINE OK - target"},
        {"failing within the warning age", Failing(300), true, kCheckOk, "VAULTLINE OK - "},
        {"failing past the warning age", Failing(301), true, kCheckWarning,
         "VAULTLINE WARNING - 1 of 3 clients off the current address for over 300 s, the "
         "longest 10.0.1.3:22609 (unreachable) for 301 s"},
        {"failing past the critical age", Failing(3601), true, kCheckCritical,
         "VAULTLINE CRITICAL - 1 of 3"},
        {"target lost past the critical age", disconnected, true, kCheckCritical,
         "VAULTLINE CRITICAL - target 10.0.0.1:22609 not connected for 3601 s"},
        {"target lost briefly", briefly, true, kCheckOk, "VAULTLINE OK - "},
        {"stale file", stale, true, kCheckUnknown,
         "VAULTLINE UNKNOWN - the status file is 181 s old; the service is not updating it"},
        {"process gone", Fleet(), false, kCheckUnknown,
         "VAULTLINE UNKNOWN - the service (pid 4242) is gone; its status file is 5 s old"},
        {"stopped cleanly", stopped, false, kCheckUnknown,
         "VAULTLINE UNKNOWN - the service stopped (pid 4242, 5 s ago)"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const CheckResult result = CheckStatusDocument(test.document, kNow, test.alive, {});
        EXPECT_EQ(result.status, test.status);
        EXPECT_THAT(result.line, ::testing::StartsWith(test.starts));
    }
    EXPECT_EQ(CheckStatusDocument(Failing(420), kNow, true, {}).line,
              "VAULTLINE WARNING - 1 of 3 clients off the current address for over 300 s, the "
              "longest 10.0.1.3:22609 (unreachable) for 420 s | clients=3;;;0 correct=1;;;0 "
              "confirming=1;;;0 failing=1;;;0 unchecked=0;;;0 oldest_off_address=420s;300;3600;0 "
              "target_disconnected=0s;;3600;0 file_age=5s;;180;0");
    EXPECT_EQ(CheckStatusDocument(Failing(420), kNow, true, {600, 900, 180}).status, kCheckOk);
    EXPECT_EQ(CheckUnusable("cannot read /x: No such file or directory").line,
              "VAULTLINE UNKNOWN - cannot read /x: No such file or directory");
}

// The exposition format read strictly: every sample's family has one HELP and one TYPE before
// it, families are not split, names and labels are well formed, counters end in _total, no
// series repeats, and every value is a number.
void ExpectValidExposition(const std::string& text) {
    const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) \S.*)");
    const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge))");
    const std::regex sample(
        R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")"
        R"((?:,[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")*\})? -?[0-9]+(\.[0-9]+)?)");
    std::set<std::string> families;
    std::set<std::string> series;
    std::string current;
    std::string currentType;
    bool helped = false;
    std::istringstream lines(text);
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
        SCOPED_TRACE("line " + std::to_string(++number) + ": " + line);
        std::smatch match;
        if (std::regex_match(line, match, help)) {
            ASSERT_TRUE(families.insert(match[1]).second) << "family split or repeated";
            current = match[1];
            helped = true;
            currentType.clear();
        } else if (std::regex_match(line, match, type)) {
            ASSERT_TRUE(helped && match[1] == current && currentType.empty());
            currentType = match[2];
            if (currentType == "counter") {
                EXPECT_THAT(current, ::testing::EndsWith("_total"));
            }
        } else {
            ASSERT_TRUE(std::regex_match(line, match, sample)) << "not a sample";
            ASSERT_EQ(match[1], current) << "sample outside its family";
            ASSERT_FALSE(currentType.empty());
            EXPECT_TRUE(series.insert(match[1].str() + match[2].str()).second) << "repeated";
        }
    }
    EXPECT_FALSE(families.empty());
}

TEST(StatusPrometheusTest, MetricsPassAStrictExpositionCheckWithLabelsEscaped) {
    StatusDocument document = Failing(10);
    document.targetServer = "nas\"1\\x:22609";
    std::ostringstream out;
    PrintPrometheus(document, "vaultline@site-a", out);
    ExpectValidExposition(out.str());
    const std::string text = out.str();
    EXPECT_THAT(text,
                ::testing::HasSubstr(
                    "vaultline_clients{service=\"vaultline@site-a\",outcome=\"correct\"} 1\n"));
    EXPECT_THAT(text, ::testing::HasSubstr("vaultline_clients{service=\"vaultline@site-a\",outcome="
                                           "\"awaiting confirmation\"} 1\n"));
    EXPECT_THAT(text,
                ::testing::HasSubstr("vaultline_target_info{service=\"vaultline@site-a\","
                                     "server=\"nas\\\"1\\\\x:22609\",address=\"10.0.0.5\"} 1"));
    EXPECT_THAT(text, ::testing::HasSubstr("vaultline_target_connection{service=\"vaultline@site-"
                                           "a\",state=\"logged in\"} 1\n"));
    EXPECT_THAT(text, ::testing::HasSubstr("vaultline_failures_total{service=\"vaultline@site-a\","
                                           "kind=\"unreachable\"} 7\n"));
    EXPECT_THAT(text, ::testing::HasSubstr("vaultline_address_change_timestamp_seconds{service="
                                           "\"vaultline@site-a\"} " +
                                           std::to_string(kNow - 3000) + "\n"));

    std::ostringstream bare;
    PrintPrometheus(StatusDocument{}, "", bare);
    ExpectValidExposition(bare.str());
    EXPECT_THAT(bare.str(), ::testing::HasSubstr("\nvaultline_rewrites_total 0\n"));
}

TEST(StatusTableTest, ListsClientsNotCorrectWithinAHundredColumns) {
    StatusDocument document = Failing(10);
    document.clients[2].address = std::string(60, 'n');
    document.clients[2].lastFailure = std::string(80, 'f');
    for (const bool all : {false, true}) {
        std::ostringstream out;
        PrintStatusTable(document, kNow, all, false, out);
        std::istringstream lines(out.str());
        int rows = 0;
        for (std::string line; std::getline(lines, line);) {
            EXPECT_LE(line.size(), 100u) << line;
            rows += line.rfind("10.0.1.", 0) == 0 || line.rfind("nnn", 0) == 0;
        }
        EXPECT_EQ(rows, all ? 3 : 2) << out.str();
        EXPECT_THAT(out.str(), ::testing::HasSubstr("3 clients: 1 correct, 1 awaiting "
                                                    "confirmation, 1 unreachable\n"));
    }
}

}  // namespace vaultline
