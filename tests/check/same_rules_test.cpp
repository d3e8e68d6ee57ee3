// vaultline-check and the service judge the same SDK records alike: one table of adapter reports
// and one of client targets, each case run through both.
#include <gmock/gmock.h>

#include "base/log_text.h"
#include "check/client_check.h"
#include "check/target_check.h"
#include "sync/address_rules.h"
#include "unit/service_fixture.h"

namespace vaultline {

using unit_support::ServiceTest;

namespace {

constexpr int kTarget = 1;
constexpr int kClient = 2;
constexpr const char* kAddress = "10.0.0.5";

scripted_sdk::Adapter MakeAdapter(const std::string& ip, int32_t connected, int32_t dhcp) {
    scripted_sdk::Adapter adapter;
    adapter.name = "eth-" + ip;
    adapter.ip = ip;
    adapter.connected = connected;
    adapter.dhcp = dhcp;
    return adapter;
}

scripted_sdk::Adapter Unreadable(scripted_sdk::Adapter adapter) {
    adapter.failQuery = true;
    return adapter;
}

scripted_sdk::Target MakeTarget(int id, const std::string& path, int32_t enabled = 1) {
    scripted_sdk::Target target;
    target.id = id;
    target.path = path;
    target.enabled = enabled;
    return target;
}

// `count` adapters of which only the last is connected.
std::vector<scripted_sdk::Adapter> OnlyLastConnected(std::size_t count) {
    std::vector<scripted_sdk::Adapter> adapters(count - 1, MakeAdapter("10.0.0.1", 0, 1));
    adapters.push_back(MakeAdapter("10.0.0.5", 1, 0));
    return adapters;
}

struct AdapterCase {
    const char* name;
    std::vector<scripted_sdk::Adapter> adapters;
    std::string expected;  // the address both take; empty when neither has one to use
};

const AdapterCase kAdapterCases[] = {
    {"DHCP preferred", {MakeAdapter("10.0.0.1", 1, 0), MakeAdapter("10.0.0.2", 1, 1)}, "10.0.0.2"},
    {"first DHCP wins", {MakeAdapter("10.0.0.1", 1, 1), MakeAdapter("10.0.0.2", 1, 1)}, "10.0.0.1"},
    {"no DHCP: first connected",
     {MakeAdapter("10.0.0.1", 0, 1), MakeAdapter("10.0.0.2", 1, 0), MakeAdapter("10.0.0.3", 1, 0)},
     "10.0.0.2"},
    {"unreadable adapter passed over",
     {Unreadable(MakeAdapter("10.0.0.1", 1, 1)), MakeAdapter("10.0.0.2", 1, 0)},
     "10.0.0.2"},
    {"none connected", {MakeAdapter("10.0.0.1", 0, 1), MakeAdapter("10.0.0.2", 0, 0)}, ""},
    {"no adapters", {}, ""},
    {"no address", {MakeAdapter("0.0.0.0", 1, 1)}, ""},
    {"empty address", {MakeAdapter("", 1, 1)}, ""},
    {"host name instead of an address", {MakeAdapter("nas01", 1, 1)}, ""},
    {"address with a trailing dot", {MakeAdapter("10.0.0.5.", 1, 1)}, ""},
    {"IPv6 address", {MakeAdapter("fe80::1", 1, 1)}, ""},
    {"address with a control byte", {MakeAdapter("10.0.0.5\n", 1, 1)}, ""},
    {"connected adapter last of 1,100", OnlyLastConnected(1100), "10.0.0.5"},
    {"connected adapter beyond what is read", OnlyLastConnected(kMaxAdaptersRead + 1), ""},
};

class SameRulesTest : public ServiceTest {
protected:
    // No guard between checks: every case is checked on the one connection.
    void SetUp() override {
        ServiceTimes times = TestTimes();
        times.verifyInterval = std::chrono::milliseconds(0);
        Restart(times);
        WriteStandardConfiguration(1);
        ASSERT_TRUE(service->Initialize());
        WaitForPasses(1);
    }
};

TEST_F(SameRulesTest, AdapterChoiceMatchesTheService) {
    for (const AdapterCase& adapterCase : kAdapterCases) {
        SCOPED_TRACE(adapterCase.name);
        scripted_sdk::Configure(
            kTarget, [&](scripted_sdk::Connection& c) { c.adapters = adapterCase.adapters; });
        std::string serviceAddress;
        OnWorker(
            [&] { serviceAddress = Access().GetAdapterAddress(scripted_sdk::Handle(kTarget)); });
        // The service takes "" and "0.0.0.0" as no address at all.
        if (serviceAddress == kNoAdapterAddress) {
            serviceAddress.clear();
        }

        TargetFinding finding;
        finding.reach = Reach::DataRead;
        ReadTargetAdapters(scripted_sdk::Handle(kTarget), finding);

        EXPECT_EQ(serviceAddress, adapterCase.expected);
        EXPECT_EQ(finding.archiveAddress, adapterCase.expected);
        EXPECT_EQ(finding.Usable(), !adapterCase.expected.empty());
        // Every adapter is listed in the report, the ones the service never asks about too.
        EXPECT_EQ(finding.adapters.size(),
                  std::min<std::size_t>(adapterCase.adapters.size(), kMaxAdaptersRead));
    }
}

struct TargetCase {
    const char* name;
    std::vector<scripted_sdk::Target> targets;
};

const TargetCase kTargetCases[] = {
    {"correct", {MakeTarget(1, "\\\\10.0.0.5\\archive")}},
    {"host name", {MakeTarget(1, "\\\\nas01\\archive\\daily")}},
    {"host only begins with the address", {MakeTarget(1, "\\\\10.0.0.50\\archive")}},
    {"host differs in case only", {MakeTarget(1, "\\\\NAS\\a")}},
    {"empty host", {MakeTarget(1, "\\\\\\share")}},
    {"one leading backslash", {MakeTarget(1, "\\10.0.0.5\\share")}},
    {"empty path", {MakeTarget(1, "")}},
    {"no backslash after the host", {MakeTarget(1, "\\\\10.0.0.5")}},
    {"none enabled", {MakeTarget(1, "\\\\nas\\a", 0)}},
    {"no targets", {}},
    {"second enabled used when the first is off",
     {MakeTarget(1, "\\\\10.0.0.5\\a", 0), MakeTarget(2, "\\\\nas\\b")}},
    {"two enabled: the first is used",
     {MakeTarget(1, "\\\\nas\\a"), MakeTarget(2, "\\\\10.0.0.5\\b")}},
    {"control bytes in the share", {MakeTarget(1, "\\\\nas\\a\x01\x1b[0m")}},
};

TEST_F(SameRulesTest, ClientVerdictMatchesWhatTheServiceDoes) {
    OnWorker([&] {
        Access().TargetAddress() = kAddress;
        Access().QueueReconnect(ClientServer(0), false);
    });
    WaitForPasses(1);
    OnWorker([] { scripted_sdk::Deliver(kClient, KXAPI_EVENT_LOGIN, 0); });

    for (const TargetCase& targetCase : kTargetCases) {
        SCOPED_TRACE(targetCase.name);
        std::vector<std::string> lines;
        OnWorker([&] {
            scripted_sdk::Configure(kClient, [&](scripted_sdk::Connection& c) {
                c.targets = targetCase.targets;
                c.updates.clear();
            });
            const std::size_t mark = log.Lines().size();
            Access().VerifyClientTarget(ClientServer(0));
            lines = log.LinesFrom(mark);
        });
        const auto updates = scripted_sdk::Inspect(kClient).updates;
        const auto logged = [&](const std::string& piece) {
            return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
                return line.find(piece) != std::string::npos;
            });
        };

        ClientFinding finding;
        ReadClientTarget(scripted_sdk::Handle(kClient), kAddress, finding);

        EXPECT_EQ(finding.severalEnabled, logged("multiple enabled archive targets found"));
        if (!updates.empty()) {
            EXPECT_EQ(finding.verdict, Verdict::WouldRewrite);
            EXPECT_EQ(finding.newPath, updates.front().path);
        } else if (logged("archive target address is correct")) {
            EXPECT_EQ(finding.verdict, Verdict::Correct);
        } else if (logged("bad archive target format")) {
            EXPECT_EQ(finding.verdict, Verdict::BadFormat);
        } else {
            EXPECT_TRUE(logged("no enabled archive targets found"));
            EXPECT_EQ(finding.verdict, Verdict::NoEnabledTarget);
        }
        // The path the verdict is about is the one the service reported finding.
        if (finding.verdict != Verdict::NoEnabledTarget) {
            EXPECT_TRUE(logged(": found archive target " + LogText(finding.path)));
        }
        // Lets the close the service queues for a correct client run before the next case.
        WaitForPasses(1);
    }
}

}  // namespace

}  // namespace vaultline
