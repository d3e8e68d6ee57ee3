// Checking a client's enabled archive target against the target address, and rewriting its host.
#include <algorithm>

#include <gmock/gmock.h>

#include "sync/sdk_records.h"
#include "unit/client_rounds_fixture.h"

namespace vaultline {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using unit_support::ServiceTest;

namespace {

constexpr int kClient = 2;  // the first client's connection; the target is 1
constexpr const char* kAddress = "10.0.0.5";

scripted_sdk::Target MakeTarget(int id, const std::string& path, int32_t enabled = 1) {
    scripted_sdk::Target target;
    target.id = id;
    target.path = path;
    target.enabled = enabled;
    return target;
}

// One client's check on its own, through the rounds: each check on a new client record, with a
// guard that stops nothing and no earlier rewrite to find undone.
class TargetCheckTest : public unit_support::RoundsFixture {
protected:
    // Returns the lines the check logged; the calls and updates it made are read after it.
    std::vector<std::string> VerifyFresh(const std::vector<scripted_sdk::Target>& targets) {
        AssertWorkerThread();
        clients[0]->check = ClientCheck();
        scripted_sdk::Configure(kClient, [&](scripted_sdk::Connection& c) {
            c.targets = targets;
            c.updates.clear();
        });
        scripted_sdk::ClearCalls();
        calls.clear();
        const std::size_t mark = log.Lines().size();
        rounds.VerifyClientTarget(View(0));
        return log.LinesFrom(mark);
    }

    // Whether the check had the client's connection closed.
    bool Closed() const {
        return std::any_of(calls.begin(), calls.end(),
                           [](const std::string& call) { return call.rfind("close ", 0) == 0; });
    }
};

// A logged-in client once the target's address is known, as when the client reports data ready.
class ClientVerificationTest : public ServiceTest {
protected:
    void SetUp() override {
        WriteStandardConfiguration(1);
        ASSERT_TRUE(service->Initialize());
        // Learning the address has the client connected for its check.
        OnWorker([&] { LearnTargetAddress(kAddress); });
        WaitForPasses(1);
        OnWorker([] { scripted_sdk::Deliver(kClient, KXAPI_EVENT_LOGIN, 0); });
        scripted_sdk::ClearCalls();
    }

    void ScriptTargets(const std::vector<scripted_sdk::Target>& targets) {
        scripted_sdk::Configure(kClient, [&](scripted_sdk::Connection& c) { c.targets = targets; });
    }

    // One check on the worker, as the data-ready event runs it; returns the lines the check
    // logged, and not those of the work it queued, which it lets run too.
    std::vector<std::string> Verify() {
        std::vector<std::string> lines;
        OnWorker([&] {
            const std::size_t mark = log.Lines().size();
            Access().VerifyClientTarget(ClientServer(0));
            lines = log.LinesFrom(mark);
            closesDuringCheck = scripted_sdk::Inspect(kClient).closes;
        });
        WaitForPasses(1);
        return lines;
    }

    ConnState ClientState() {
        ConnState state = ConnState::Closed;
        OnWorker([&] { state = ClientServer(0).link.State(); });
        return state;
    }

    int closesDuringCheck = -1;
};

// The SDK calls that read or update targets, in order.
std::vector<std::string> TargetCalls() {
    std::vector<std::string> calls;
    for (const auto& call : scripted_sdk::Calls()) {
        if (call.rfind("Get", 0) == 0 || call.rfind("Update", 0) == 0) {
            calls.push_back(call);
        }
    }
    return calls;
}

TEST_F(TargetCheckTest, StaleHostIsReplacedAndTheNewPathSentWithItsOwnLength) {
    const std::pair<std::string, std::string> cases[] = {
        {"\\\\10.0.0.50\\archive\\daily", "\\\\10.0.0.5\\archive\\daily"},  // only begins alike
        {"\\\\nas\\archive\\a", "\\\\10.0.0.5\\archive\\a"},                // a host name
        {"\\\\\\share", "\\\\10.0.0.5\\share"},                             // empty host
        {"\\\\backup-store.example.internal\\archive", "\\\\10.0.0.5\\archive"},  // shorter
        {"\\\\n\\a", "\\\\10.0.0.5\\a"},                                          // longer
    };
    for (const auto& [oldPath, newPath] : cases) {
        SCOPED_TRACE(oldPath);
        EXPECT_THAT(VerifyFresh({MakeTarget(7, oldPath)}),
                    ElementsAre("INFO 10.0.1.1: found archive target " + oldPath,
                                "INFO 10.0.1.1: setting archive target address to " + newPath));
        EXPECT_THAT(TargetCalls(),
                    ElementsAre("GetNumTargets(2)", "GetTargetId(2,0)", "GetTargetInfo(2,7,query)",
                                "GetTargetInfo(2,7,fill)", "UpdateTargetEx(2,7)"));
        const auto updates = scripted_sdk::Inspect(kClient).updates;
        ASSERT_EQ(updates.size(), 1u);
        EXPECT_EQ(updates[0].id, 7);
        EXPECT_EQ(updates[0].path, newPath);
        EXPECT_EQ(updates[0].pathLength, newPath.size() + 1);
        EXPECT_TRUE(updates[0].reservedArgumentsNull);
        EXPECT_TRUE(updates[0].reservedBytesIntact);
        EXPECT_EQ(updates[0].enabled, 1);
        // A rewritten client stays connected until it asks to close.
        EXPECT_FALSE(Closed());
    }
}

TEST_F(ClientVerificationTest, CorrectTargetIsLeftAloneAndTheClientClosedAfterTheCheck) {
    ScriptTargets({MakeTarget(7, "\\\\10.0.0.5\\archive")});
    const std::size_t mark = log.Lines().size();
    EXPECT_THAT(Verify(), ElementsAre("INFO 10.0.1.1: found archive target \\\\10.0.0.5\\archive",
                                      "INFO archive target address is correct, not updating",
                                      "INFO 1 client checked against 10.0.0.5 after the address "
                                      "change: 1 correct, 0 rewritten, 0 failing"));
    EXPECT_EQ(closesDuringCheck, 0);
    EXPECT_EQ(log.LinesFrom(mark).back(), "INFO closing connection to 10.0.1.1:22609");
    EXPECT_EQ(scripted_sdk::Inspect(kClient).closes, 1);
    EXPECT_EQ(ClientState(), ConnState::Closed);
    EXPECT_THAT(scripted_sdk::Inspect(kClient).updates, ElementsAre());
}

struct RejectedCase {
    const char* name;
    scripted_sdk::Target target;
    std::string shownPath;
    std::string error;
};

const char* const kNoLeadingBackslashes =
    "ERROR 10.0.1.1: bad archive target format, expected \\\\<host>\\";
const char* const kNoBackslashAfterHost =
    "ERROR 10.0.1.1: bad archive target format, expected \\ after host";

scripted_sdk::Target WithoutNul(scripted_sdk::Target target) {
    target.fillWithoutNul = true;
    return target;
}

scripted_sdk::Target ReportingLength(scripted_sdk::Target target, uint64_t length) {
    target.reportedLength = length;
    return target;
}

// The last four come from an SDK that does not terminate its texts; each must stay inside the
// service's own buffer.
TEST_F(TargetCheckTest, MalformedPathIsReportedAndNothingIsSent) {
    const RejectedCase cases[] = {
        {"one leading backslash", MakeTarget(7, "\\10.0.0.5\\share"), "\\10.0.0.5\\share",
         kNoLeadingBackslashes},
        {"no leading backslash", MakeTarget(7, "10.0.0.5\\share"), "10.0.0.5\\share",
         kNoLeadingBackslashes},
        {"empty", MakeTarget(7, ""), "", kNoLeadingBackslashes},
        {"no backslash after the host", MakeTarget(7, "\\\\nas"), "\\\\nas", kNoBackslashAfterHost},
        {"the address without a share", MakeTarget(7, "\\\\10.0.0.5"), "\\\\10.0.0.5",
         kNoBackslashAfterHost},
        {"reported length 0", ReportingLength(MakeTarget(7, "\\\\nas\\share"), 0), "",
         kNoLeadingBackslashes},
        {"reported length 1", ReportingLength(MakeTarget(7, "\\\\nas\\share"), 1), "\\",
         kNoLeadingBackslashes},
        {"cut after the leading backslashes",
         ReportingLength(MakeTarget(7, "\\\\10.0.0.5\\share"), 2), "\\\\", kNoBackslashAfterHost},
        {"filled without NUL", WithoutNul(MakeTarget(7, "\\\\nas")), "\\\\nasx",
         kNoBackslashAfterHost},
    };
    for (const RejectedCase& rejected : cases) {
        SCOPED_TRACE(rejected.name);
        EXPECT_THAT(VerifyFresh({rejected.target}),
                    ElementsAre("INFO 10.0.1.1: found archive target " + rejected.shownPath,
                                rejected.error));
        EXPECT_THAT(scripted_sdk::Inspect(kClient).updates, ElementsAre());
        EXPECT_FALSE(Closed());
    }
}

struct ChoiceCase {
    const char* name;
    std::vector<scripted_sdk::Target> targets;
    std::vector<std::string> lines;
    std::optional<int> updatedId;
    std::vector<std::string> calls;
};

scripted_sdk::Target FailingQuery(scripted_sdk::Target target) {
    target.failQuery = true;
    return target;
}

scripted_sdk::Target FailingFill(scripted_sdk::Target target) {
    target.failFill = true;
    return target;
}

const char* const kFoundFirst = "INFO 10.0.1.1: found archive target \\\\old\\first";
const char* const kSettingFirst =
    "INFO 10.0.1.1: setting archive target address to \\\\10.0.0.5\\first";
const char* const kFoundThird = "INFO 10.0.1.1: found archive target \\\\old\\third";
const char* const kSettingThird =
    "INFO 10.0.1.1: setting archive target address to \\\\10.0.0.5\\third";
const char* const kNoEnabled = "ERROR 10.0.1.1: no enabled archive targets found";
const char* const kMultiple =
    "WARNING 10.0.1.1: multiple enabled archive targets found, using first";

// `count` enabled targets with ids from 10; the first has the path \\old\first.
std::vector<scripted_sdk::Target> ManyEnabled(int count) {
    std::vector<scripted_sdk::Target> targets = {MakeTarget(10, "\\\\old\\first")};
    for (int id = 11; id < 10 + count; ++id) {
        targets.push_back(MakeTarget(id, "\\\\old\\more"));
    }
    return targets;
}

// `count` targets of which only the last is enabled.
std::vector<scripted_sdk::Target> OnlyLastEnabled(std::size_t count) {
    std::vector<scripted_sdk::Target> targets(count - 1, MakeTarget(10, "\\\\old\\off", 0));
    targets.push_back(MakeTarget(11, "\\\\old\\on"));
    return targets;
}

// The lines of a check that finds the first of `count` enabled targets stale.
std::vector<std::string> ManyEnabledLines(int count, const std::string& summary) {
    std::vector<std::string> lines(std::min(count - 1, 10), kMultiple);
    if (!summary.empty()) {
        lines.push_back(summary);
    }
    lines.insert(lines.end(), {kFoundFirst, kSettingFirst});
    return lines;
}

TEST_F(TargetCheckTest, FirstEnabledTargetThatCouldBeReadIsUsed) {
    const ChoiceCase cases[] = {
        {"targets 0 and 2 enabled",
         {MakeTarget(10, "\\\\old\\first", 2), MakeTarget(11, "\\\\old\\second", 0),
          MakeTarget(12, "\\\\old\\third")},
         {kMultiple, kFoundFirst, kSettingFirst},
         10,
         {"GetNumTargets(2)", "GetTargetId(2,0)", "GetTargetInfo(2,10,query)",
          "GetTargetInfo(2,10,fill)", "GetTargetId(2,1)", "GetTargetInfo(2,11,query)",
          "GetTargetId(2,2)", "GetTargetInfo(2,12,query)", "GetTargetInfo(2,12,fill)",
          "UpdateTargetEx(2,10)"}},
        {"11 enabled: every further one named", ManyEnabled(11), ManyEnabledLines(11, ""), 10, {}},
        {"1000 enabled: ten named, the rest counted",
         ManyEnabled(1000),
         ManyEnabledLines(1000,
                          "WARNING 10.0.1.1: multiple enabled archive targets found, using first; "
                          "989 more not listed"),
         10,
         {}},
        {"target 0 cannot be filled",
         {FailingFill(MakeTarget(10, "\\\\old\\first")), MakeTarget(11, "\\\\old\\second", 0),
          MakeTarget(12, "\\\\old\\third")},
         {"ERROR 10.0.1.1: failed to populate target info (index 0, id 10)", kFoundThird,
          kSettingThird},
         12,
         {}},
        {"target 0 cannot be queried",
         {FailingQuery(MakeTarget(-3, "\\\\old\\first")), MakeTarget(12, "\\\\old\\third")},
         {"ERROR 10.0.1.1: failed to get target info (index 0, id -3)", kFoundThird, kSettingThird},
         12,
         {}},
        {"failures and further enabled targets, in the order read",
         {MakeTarget(10, "\\\\old\\first"), MakeTarget(11, "\\\\old\\more"),
          FailingQuery(MakeTarget(12, "\\\\old\\more")), MakeTarget(13, "\\\\old\\more")},
         {kMultiple, "ERROR 10.0.1.1: failed to get target info (index 2, id 12)", kMultiple,
          kFoundFirst, kSettingFirst},
         10,
         {}},
        {"enabled target beyond what is read",
         OnlyLastEnabled(kMaxTargetsRead + 1),
         {kNoEnabled},
         std::nullopt,
         {}},
        {"no targets", {}, {kNoEnabled}, std::nullopt, {"GetNumTargets(2)"}},
        {"only disabled targets",
         {MakeTarget(10, "\\\\old\\first", 0), MakeTarget(11, "\\\\old\\second", 0)},
         {kNoEnabled},
         std::nullopt,
         {"GetNumTargets(2)", "GetTargetId(2,0)", "GetTargetInfo(2,10,query)", "GetTargetId(2,1)",
          "GetTargetInfo(2,11,query)"}},
        {"no enabled target readable",
         {FailingQuery(MakeTarget(10, "\\\\old\\first")),
          FailingFill(MakeTarget(11, "\\\\old\\second"))},
         {"ERROR 10.0.1.1: failed to get target info (index 0, id 10)",
          "ERROR 10.0.1.1: failed to populate target info (index 1, id 11)", kNoEnabled},
         std::nullopt,
         {}},
    };
    for (const ChoiceCase& choice : cases) {
        SCOPED_TRACE(choice.name);
        EXPECT_THAT(VerifyFresh(choice.targets), ElementsAreArray(choice.lines));
        const auto updates = scripted_sdk::Inspect(kClient).updates;
        if (choice.updatedId) {
            ASSERT_EQ(updates.size(), 1u);
            EXPECT_EQ(updates[0].id, *choice.updatedId);
            EXPECT_TRUE(updates[0].reservedBytesIntact);
            for (const auto& target : choice.targets) {
                if (target.id == *choice.updatedId) {
                    EXPECT_EQ(updates[0].enabled, target.enabled);
                }
            }
        } else {
            EXPECT_THAT(updates, ElementsAre());
        }
        if (!choice.calls.empty()) {
            EXPECT_THAT(TargetCalls(), ElementsAreArray(choice.calls));
        }
    }
}

TEST_F(ClientVerificationTest, FailedUpdateIsReportedOnceAndNotRetried) {
    ScriptTargets({MakeTarget(7, "\\\\nas\\archive")});
    scripted_sdk::Configure(kClient, [](scripted_sdk::Connection& c) { c.updateResult = -1; });
    EXPECT_THAT(Verify(), ElementsAre("INFO 10.0.1.1: found archive target \\\\nas\\archive",
                                      "INFO 10.0.1.1: setting archive target address to "
                                      "\\\\10.0.0.5\\archive",
                                      "ERROR 10.0.1.1: failed to update archive target",
                                      "INFO 1 client checked against 10.0.0.5 after the address "
                                      "change: 0 correct, 0 rewritten, 1 failing"));
    WaitForPasses(2);
    EXPECT_EQ(scripted_sdk::Inspect(kClient).updates.size(), 1u);
    EXPECT_EQ(scripted_sdk::Inspect(kClient).opens, 1);
    EXPECT_EQ(scripted_sdk::Inspect(kClient).closes, 0);
    EXPECT_EQ(ClientState(), ConnState::LoggedIn);
}

TEST_F(ClientVerificationTest, ClosingTheConnectionLetsTheNextTriggerCheckAtOnce) {
    ScriptTargets({MakeTarget(7, "\\\\nas\\a")});
    Verify();
    OnWorker([&] {
        Access().CloseServer(ClientServer(0));
        Access().QueueReconnect(ClientServer(0), false);
    });
    WaitForPasses(1);
    OnWorker([] {
        scripted_sdk::Deliver(kClient, KXAPI_EVENT_LOGIN, 0);
        scripted_sdk::Deliver(kClient, KXAPI_EVENT_DATA_READY, 0);
    });
    EXPECT_EQ(scripted_sdk::Inspect(kClient).updates.size(), 2u);
}

}  // namespace

}  // namespace vaultline
