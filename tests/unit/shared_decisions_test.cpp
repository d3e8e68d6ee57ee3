// The decisions the service and vaultline-check share: which adapter names the target, what
// becomes of a client's enabled target, and whether a login was accepted.
#include <gtest/gtest.h>

#include "base/log_text.h"
#include "sync/adapter_choice.h"
#include "sync/client_target_decision.h"
#include "sync/login_rule.h"

namespace vaultline {

namespace {

AdapterRecord Adapter(const std::string& ip, int32_t connected, int32_t dhcp) {
    AdapterRecord adapter;
    adapter.ip = ip;
    adapter.connected = connected;
    adapter.dhcp = dhcp;
    return adapter;
}

AdapterRecord Unreadable() {
    AdapterRecord adapter = Adapter("10.0.0.9", 1, 1);
    adapter.queryFailed = true;
    return adapter;
}

AdapterRecord TextsUnreadable() {
    AdapterRecord adapter = Adapter("", 1, 1);
    adapter.textsFailed = true;
    return adapter;
}

// `count` adapters of which only the last is connected.
std::vector<AdapterRecord> OnlyLastConnected(std::size_t count) {
    std::vector<AdapterRecord> adapters(count - 1, Adapter("10.0.0.1", 0, 1));
    adapters.push_back(Adapter("10.0.0.5", 1, 0));
    return adapters;
}

TEST(ChooseTargetAdapter, PrefersDhcpAndTakesOnlyAnIPv4Address) {
    const struct {
        const char* name;
        std::vector<AdapterRecord> adapters;
        std::optional<uint64_t> chosen;
        TargetProblem problem;
        std::string address;
    } cases[] = {
        {"DHCP preferred",
         {Adapter("10.0.0.1", 1, 0), Adapter("10.0.0.2", 1, 1)},
         1,
         TargetProblem::None,
         "10.0.0.2"},
        {"first DHCP wins",
         {Adapter("10.0.0.1", 1, 1), Adapter("10.0.0.2", 1, 1)},
         0,
         TargetProblem::None,
         "10.0.0.1"},
        {"no DHCP: first connected",
         {Adapter("10.0.0.1", 0, 1), Adapter("10.0.0.2", 1, 0), Adapter("10.0.0.3", 1, 0)},
         1,
         TargetProblem::None,
         "10.0.0.2"},
        {"flags other than 1 count as set",
         {Adapter("10.0.0.1", 7, -1)},
         0,
         TargetProblem::None,
         "10.0.0.1"},
        {"unreadable adapter passed over",
         {Unreadable(), Adapter("10.0.0.2", 1, 0)},
         1,
         TargetProblem::None,
         "10.0.0.2"},
        {"none connected",
         {Adapter("10.0.0.1", 0, 1), Adapter("10.0.0.2", 0, 0)},
         std::nullopt,
         TargetProblem::NoConnectedAdapter,
         ""},
        {"no adapters", {}, std::nullopt, TargetProblem::NoConnectedAdapter, ""},
        {"chosen texts unreadable", {TextsUnreadable()}, 0, TargetProblem::ChosenTextsFailed, ""},
        {"no address", {Adapter("0.0.0.0", 1, 1)}, 0, TargetProblem::NoAddress, ""},
        {"empty address", {Adapter("", 1, 1)}, 0, TargetProblem::NoAddress, ""},
        {"host name", {Adapter("nas01", 1, 1)}, 0, TargetProblem::NotIPv4, ""},
        {"trailing dot", {Adapter("10.0.0.5.", 1, 1)}, 0, TargetProblem::NotIPv4, ""},
        {"IPv6 address", {Adapter("fe80::1", 1, 1)}, 0, TargetProblem::NotIPv4, ""},
        {"control byte", {Adapter("10.0.0.5\n", 1, 1)}, 0, TargetProblem::NotIPv4, ""},
        {"connected adapter last of 1,100", OnlyLastConnected(1100), 1099, TargetProblem::None,
         "10.0.0.5"},
        {"connected adapter beyond what is read", OnlyLastConnected(kMaxAdaptersRead + 1),
         std::nullopt, TargetProblem::NoConnectedAdapter, ""},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        const AdapterChoice choice = ChooseTargetAdapter(testCase.adapters);
        EXPECT_EQ(choice.chosen, testCase.chosen);
        EXPECT_EQ(choice.problem, testCase.problem);
        EXPECT_EQ(choice.address, testCase.address);
    }
}

// The service reads the chosen adapter a second time for its texts; that read may fail, and no
// report at all means no choice.
TEST(ChooseTargetAdapter, ReadsTheChosenAdapterAgainForItsAddress) {
    const auto connected = [](uint64_t) { return std::optional<AdapterFlags>({true, true}); };
    std::vector<uint64_t> reread;
    const AdapterChoice lost = ChooseTargetAdapter(3, connected, [&](uint64_t index) {
        reread.push_back(index);
        return Unreadable();
    });
    EXPECT_EQ(lost.problem, TargetProblem::ChosenUnreadable);
    EXPECT_EQ(reread, std::vector<uint64_t>{0});

    const AdapterChoice noReport =
        ChooseTargetAdapter(std::nullopt, connected, [](uint64_t) { return AdapterRecord{}; });
    EXPECT_EQ(noReport.problem, TargetProblem::NoNetworkInfo);
    EXPECT_FALSE(noReport.chosen);
}

TEST(DecideClientTarget, KeepsCorrectPathsAndRewritesOnlyTheHost) {
    constexpr const char* kAddress = "10.0.0.5";
    const struct {
        const char* name;
        bool found;
        std::string path;
        ClientOutcome outcome;
        PathAction action;
        std::string newPath;
    } cases[] = {
        {"correct", true, "\\\\10.0.0.5\\archive", ClientOutcome::Correct, PathAction::Correct, ""},
        {"host name", true, "\\\\nas01\\archive\\daily", ClientOutcome::Rewritten,
         PathAction::Rewrite, "\\\\10.0.0.5\\archive\\daily"},
        {"host only begins with the address", true, "\\\\10.0.0.50\\archive",
         ClientOutcome::Rewritten, PathAction::Rewrite, "\\\\10.0.0.5\\archive"},
        {"host differs in case only", true, "\\\\NAS\\a", ClientOutcome::Rewritten,
         PathAction::Rewrite, "\\\\10.0.0.5\\a"},
        {"empty host", true, "\\\\\\share", ClientOutcome::Rewritten, PathAction::Rewrite,
         "\\\\10.0.0.5\\share"},
        {"control bytes in the share kept", true, "\\\\nas\\a\x01\x1b[0m", ClientOutcome::Rewritten,
         PathAction::Rewrite, "\\\\10.0.0.5\\a\x01\x1b[0m"},
        {"one leading backslash", true, "\\10.0.0.5\\share", ClientOutcome::BadFormat,
         PathAction::NoLeadingBackslashes, ""},
        {"empty path", true, "", ClientOutcome::BadFormat, PathAction::NoLeadingBackslashes, ""},
        {"no backslash after the host", true, "\\\\10.0.0.5", ClientOutcome::BadFormat,
         PathAction::NoBackslashAfterHost, ""},
        {"no enabled target", false, "", ClientOutcome::NoTarget, PathAction::Correct, ""},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        EnabledTarget read;
        read.found = testCase.found;
        read.path = testCase.path;
        const ClientTargetDecision decision = DecideClientTarget(read, kAddress);
        EXPECT_EQ(decision.outcome, testCase.outcome);
        EXPECT_EQ(decision.path.action, testCase.action);
        EXPECT_EQ(decision.path.newPath, testCase.newPath) << LogText(decision.path.newPath);
    }
}

TEST(LoginAccepted, OnlyTheLowByteDecides) {
    const struct {
        long result;
        bool accepted;
    } cases[] = {
        {0, true},     {0x100, true},  {-256, true}, {1, false},
        {0xff, false}, {0x1ff, false}, {-1, false},
    };
    for (const auto& testCase : cases) {
        EXPECT_EQ(LoginAccepted(testCase.result), testCase.accepted) << testCase.result;
    }
}

}  // namespace

}  // namespace vaultline
