// Learning the target's address from its adapters, and what a new or changed address sets off.
#include <chrono>
#include <optional>

#include <gmock/gmock.h>

#include "unit/service_fixture.h"

namespace vaultline {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using unit_support::ServiceTest;

namespace {

scripted_sdk::Adapter MakeAdapter(const std::string& name, const std::string& ip, int32_t connected,
                                  int32_t dhcp) {
    scripted_sdk::Adapter adapter;
    adapter.name = name;
    adapter.description = name + " port";
    adapter.mac = "00:11:22:33:44:" + name.substr(name.size() - 2);
    adapter.ip = ip;
    adapter.connected = connected;
    adapter.dhcp = dhcp;
    return adapter;
}

scripted_sdk::Adapter Failing(scripted_sdk::Adapter adapter, bool scripted_sdk::Adapter::*knob) {
    adapter.*knob = true;
    return adapter;
}

class AddressDiscoveryTest : public ServiceTest {
protected:
    void SetUpService(int clientCount) {
        WriteStandardConfiguration(clientCount);
        ASSERT_TRUE(service->Initialize());
        WaitForPasses(1);
    }

    void ScriptAdapters(const std::vector<scripted_sdk::Adapter>& adapters) {
        scripted_sdk::Configure(1, [&](scripted_sdk::Connection& c) { c.adapters = adapters; });
    }

    // One discovery attempt on the worker; returns the lines it logged.
    std::vector<std::string> Discover() {
        std::size_t mark = 0;
        OnWorker([&] {
            mark = log.Lines().size();
            Access().DoGetAddress(TargetServer());
        });
        return log.LinesFrom(mark);
    }

    std::string TargetAddress() {
        std::string address;
        OnWorker([&] { address = Access().TargetAddress(); });
        return address;
    }

    // The Open calls made so far, in order, whoever they were for.
    static std::vector<std::string> Opens() {
        std::vector<std::string> opens;
        for (const auto& call : scripted_sdk::Calls()) {
            if (call.rfind("Open(", 0) == 0) {
                opens.push_back(call);
            }
        }
        return opens;
    }
};

struct AdapterCase {
    const char* name;
    std::vector<scripted_sdk::Adapter> adapters;
    int networkInfoResult;
    std::string address;
    std::vector<std::string> lines;
    std::vector<uint64_t> queries;
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const AdapterCase& adapterCase, std::ostream* stream) {
    *stream << adapterCase.name;
}

class AdapterChoiceTest : public AddressDiscoveryTest,
                          public ::testing::WithParamInterface<AdapterCase> {};

TEST_P(AdapterChoiceTest, PicksTheExpectedAdapterAndReportsEveryFailure) {
    SetUpService(0);
    const AdapterCase& expected = GetParam();
    scripted_sdk::Configure(1, [&](scripted_sdk::Connection& c) {
        c.adapters = expected.adapters;
        c.networkInfoResult = expected.networkInfoResult;
    });
    std::size_t mark = 0;
    std::string address = "unset";
    OnWorker([&] {
        mark = log.Lines().size();
        address = Access().GetAdapterAddress(scripted_sdk::Handle(1));
    });
    EXPECT_EQ(address, expected.address);
    EXPECT_THAT(log.LinesFrom(mark), ElementsAreArray(expected.lines));
    EXPECT_THAT(scripted_sdk::Inspect(1).adapterQueries, ElementsAreArray(expected.queries));
}

const scripted_sdk::Adapter kPlain = MakeAdapter("eth10", "10.0.0.10", 1, 0);
const scripted_sdk::Adapter kDhcp = MakeAdapter("eth11", "10.0.0.11", 1, 1);
const scripted_sdk::Adapter kOtherDhcp = MakeAdapter("eth12", "10.0.0.12", 1, 1);
const scripted_sdk::Adapter kOtherPlain = MakeAdapter("eth13", "10.0.0.13", 1, 0);
const scripted_sdk::Adapter kUnplugged = MakeAdapter("eth14", "10.0.0.14", 0, 1);

const char* const kFoundPlain =
    "INFO found connected adapter eth10 (eth10 port) IP 10.0.0.10 MAC 00:11:22:33:44:10 DHCP 0";
const char* const kFoundDhcp =
    "INFO found connected adapter eth11 (eth11 port) IP 10.0.0.11 MAC 00:11:22:33:44:11 DHCP 1";
const char* const kNoneConnected = "ERROR no connected network adapters found";

INSTANTIATE_TEST_SUITE_P(
    Adapters, AdapterChoiceTest,
    ::testing::Values(
        AdapterCase{"DhcpPreferredOverAnEarlierPlainOne",
                    {kPlain, kDhcp},
                    0,
                    "10.0.0.11",
                    {kFoundDhcp},
                    {0, 1, 1, 1}},
        AdapterCase{"FirstConnectedWhenNoneUsesDhcp",
                    {kUnplugged, kPlain, kOtherPlain},
                    0,
                    "10.0.0.10",
                    {kFoundPlain},
                    {0, 1, 2, 1, 1}},
        AdapterCase{"ScanStopsAtTheFirstDhcpAdapter",
                    {kDhcp, kOtherDhcp, kPlain},
                    0,
                    "10.0.0.11",
                    {kFoundDhcp},
                    {0, 0, 0}},
        AdapterCase{"PlainThenDhcpStopsBeforeTheSecondDhcp",
                    {kPlain, kDhcp, kOtherDhcp},
                    0,
                    "10.0.0.11",
                    {kFoundDhcp},
                    {0, 1, 1, 1}},
        AdapterCase{"FailedIndexIsSkipped",
                    {Failing(kDhcp, &scripted_sdk::Adapter::failQuery), kPlain},
                    0,
                    "10.0.0.10",
                    {"ERROR failed to get network adapter, index 0", kFoundPlain},
                    {0, 1, 1, 1}},
        AdapterCase{"NetworkInfoFailureWithAPositiveResult",
                    {kDhcp},
                    1,
                    "",
                    {"ERROR failed to get network info"},
                    {}},
        AdapterCase{"NoAdapters", {}, 0, "", {kNoneConnected}, {}},
        AdapterCase{"NoneConnected", {kUnplugged, kUnplugged}, 0, "", {kNoneConnected}, {0, 1}},
        AdapterCase{"EveryQueryFails",
                    {Failing(kPlain, &scripted_sdk::Adapter::failQuery),
                     Failing(kDhcp, &scripted_sdk::Adapter::failQuery)},
                    0,
                    "",
                    {"ERROR failed to get network adapter, index 0",
                     "ERROR failed to get network adapter, index 1", kNoneConnected},
                    {0, 1}},
        AdapterCase{"ReGetFails",
                    {kPlain, Failing(kDhcp, &scripted_sdk::Adapter::failReGet)},
                    0,
                    "",
                    {"ERROR failed to re-get network adapter, index 1"},
                    {0, 1, 1}},
        AdapterCase{"PopulateFails",
                    {Failing(kPlain, &scripted_sdk::Adapter::failPopulate), kOtherPlain},
                    0,
                    "",
                    {"ERROR failed to populate network adapter, index 0"},
                    {0, 1, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AddressDiscoveryTest, TextsTheSdkLeavesUnterminatedEndInsideTheServicesBuffers) {
    SetUpService(0);
    scripted_sdk::Adapter withoutNul = kDhcp;
    withoutNul.fillWithoutNul = true;
    scripted_sdk::Adapter emptyTexts = kDhcp;
    emptyTexts.reportedLength = 0;
    // The spilled byte also makes the address text no address at all.
    struct {
        scripted_sdk::Adapter adapter;
        std::vector<std::string> lines;
    } const cases[] = {
        {withoutNul,
         {"INFO found connected adapter eth11x (eth11 portx) IP 10.0.0.11x MAC "
          "00:11:22:33:44:11x DHCP 1",
          "ERROR adapter address 10.0.0.11x is not an IPv4 address"}},
        {emptyTexts, {"INFO found connected adapter  () IP  MAC  DHCP 1"}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.lines[0]);
        ScriptAdapters({testCase.adapter});
        std::size_t mark = 0;
        std::string address = "unset";
        OnWorker([&] {
            mark = log.Lines().size();
            address = Access().GetAdapterAddress(scripted_sdk::Handle(1));
        });
        EXPECT_EQ(address, "");
        EXPECT_THAT(log.LinesFrom(mark), ElementsAreArray(testCase.lines));
    }
}

TEST_F(AddressDiscoveryTest, FirstAddressIsStoredAndEveryClientIsConnectedInConfigurationOrder) {
    SetUpService(3);
    ScriptAdapters({kDhcp});
    scripted_sdk::ClearCalls();
    EXPECT_THAT(Discover(), ElementsAre(kFoundDhcp,
                                        "INFO initial target address is 10.0.0.11; verifying "
                                        "clients",
                                        "INFO connecting to server 10.0.1.1:22609",
                                        "INFO connecting to server 10.0.1.2:22609",
                                        "INFO connecting to server 10.0.1.3:22609"));
    EXPECT_EQ(TargetAddress(), "10.0.0.11");
    WaitForPasses(1);
    EXPECT_THAT(Opens(), ElementsAre("Open(2,10.0.1.1,22609)", "Open(3,10.0.1.2,22609)",
                                     "Open(4,10.0.1.3,22609)"));
}

TEST_F(AddressDiscoveryTest, ChangedAddressIsLoggedAndEveryClientIsConnectedAgainInOrder) {
    SetUpService(2);
    ScriptAdapters({kDhcp});
    Discover();
    WaitForPasses(1);
    scripted_sdk::ClearCalls();
    ScriptAdapters({kPlain});
    EXPECT_THAT(Discover(), ElementsAre(kFoundPlain,
                                        "INFO archive target address changed: 10.0.0.11 -> "
                                        "10.0.0.10; updating clients",
                                        "INFO connecting to server 10.0.1.1:22609",
                                        "INFO connecting to server 10.0.1.2:22609"));
    EXPECT_EQ(TargetAddress(), "10.0.0.10");
    WaitForPasses(1);
    EXPECT_THAT(Opens(), ElementsAre("Open(2,10.0.1.1,22609)", "Open(3,10.0.1.2,22609)"));
}

TEST_F(AddressDiscoveryTest, WithoutClientsTheAddressIsOnlyStoredAndLogged) {
    SetUpService(0);
    ScriptAdapters({kPlain});
    scripted_sdk::ClearCalls();
    EXPECT_THAT(Discover(), ElementsAre(kFoundPlain,
                                        "INFO initial target address is 10.0.0.10; verifying "
                                        "clients"));
    WaitForPasses(1);
    EXPECT_EQ(TargetAddress(), "10.0.0.10");
    EXPECT_THAT(scripted_sdk::Calls(),
                ElementsAre("GetNetworkInfo(1)", "GetNetworkAdapter(1,0)", "GetNetworkAdapter(1,0)",
                            "GetNetworkAdapter(1,0)"));
}

// Two retry chains side by side: one after a failed attempt, one after an adapter without address.
TEST_F(AddressDiscoveryTest, UnusableAddressIsRetriedAfterTheRetryDelayByOneChainOnly) {
    const ServiceTimes times = TestTimes();
    SetUpService(1);
    const auto noAddress = MakeAdapter("eth15", "0.0.0.0", 1, 1);
    const char* const foundNoAddress =
        "INFO found connected adapter eth15 (eth15 port) IP 0.0.0.0 MAC 00:11:22:33:44:15 DHCP 1";
    ScriptAdapters({noAddress});
    scripted_sdk::ClearCalls();
    std::size_t mark = 0;
    // Two failed attempts in a row leave one retry pending, not two.
    OnWorker([&] {
        mark = log.Lines().size();
        Access().DoGetAddress(TargetServer());
        scripted_sdk::Configure(1, [](scripted_sdk::Connection& c) { c.networkInfoResult = -1; });
        Access().DoGetAddress(TargetServer());
        scripted_sdk::Configure(1, [](scripted_sdk::Connection& c) { c.networkInfoResult = 0; });
    });
    EXPECT_THAT(log.LinesFrom(mark),
                ElementsAre(foundNoAddress, "ERROR failed to get network info"));

    const auto attempts = [] {
        const auto calls = scripted_sdk::Calls();
        return std::count(calls.begin(), calls.end(), "GetNetworkInfo(1)");
    };
    // A second short of the delay (the real time the test takes counts too): not yet retried.
    clock.Advance(times.retryDelay - std::chrono::seconds(1));
    WaitForPasses(2);
    EXPECT_EQ(attempts(), 2);
    clock.Advance(std::chrono::seconds(1));
    WaitForPasses(2);

    EXPECT_EQ(attempts(), 3);
    EXPECT_THAT(log.LinesFrom(mark),
                ElementsAre(foundNoAddress, "ERROR failed to get network info", foundNoAddress));
    EXPECT_EQ(TargetAddress(), "");
    EXPECT_THAT(Opens(), ElementsAre());
}

// A client checked moments ago must still be checked against a new address.
TEST_F(AddressDiscoveryTest, ChangedAddressRechecksAClientCheckedLessThanAMinuteAgo) {
    SetUpService(1);
    scripted_sdk::Configure(2, [](scripted_sdk::Connection& c) {
        c.targets.resize(1);
        c.targets[0].id = 7;
        c.targets[0].path = "\\\\nas\\archive";
    });
    const auto connectAndReport = [&] {
        WaitForPasses(1);
        OnWorker([] {
            scripted_sdk::Deliver(2, KXAPI_EVENT_LOGIN, 0);
            scripted_sdk::Deliver(2, KXAPI_EVENT_DATA_READY, 0);
        });
    };
    ScriptAdapters({kDhcp});
    Discover();
    connectAndReport();
    ScriptAdapters({kPlain});
    Discover();
    connectAndReport();

    const auto updates = scripted_sdk::Inspect(2).updates;
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[0].path, "\\\\10.0.0.11\\archive");
    EXPECT_EQ(updates[1].path, "\\\\10.0.0.10\\archive");
}

}  // namespace

}  // namespace vaultline
