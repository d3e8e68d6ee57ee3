// Texts from the target, the clients and the configuration are data: an address that is no
// IPv4 address is refused, and no text can break or forge a log line.
#include <gmock/gmock.h>

#include "unit/service_fixture.h"

namespace vaultline {

using ::testing::Contains;
using ::testing::ElementsAre;
using unit_support::ServiceTest;

namespace {

class HostileTextTest : public ServiceTest {
protected:
    // Target and one client connected and logged in.
    void ConnectTargetAndClient() {
        WriteStandardConfiguration(1);
        ASSERT_TRUE(service->Initialize());
        OnWorker([&] { Access().QueueReconnect(ClientServer(0), false); });
        WaitForPasses(1);
        OnWorker([] {
            scripted_sdk::Deliver(1, KXAPI_EVENT_LOGIN, 0);
            scripted_sdk::Deliver(2, KXAPI_EVENT_LOGIN, 0);
        });
    }

    void ScriptAddress(const std::string& ip, const std::string& name = "eth0") {
        scripted_sdk::Configure(1, [&](scripted_sdk::Connection& c) {
            c.adapters = {scripted_sdk::Adapter{}};
            c.adapters[0].ip = ip;
            c.adapters[0].name = name;
        });
    }

    // One discovery on the worker; returns the lines it logged.
    std::vector<std::string> Discover() {
        std::size_t mark = 0;
        OnWorker([&] {
            mark = log.Lines().size();
            Access().DoGetAddress(TargetServer());
        });
        return log.LinesFrom(mark);
    }
};

TEST_F(HostileTextTest, AdapterAddressThatIsNoIPv4AddressIsRefusedAndTouchesNoClient) {
    ConnectTargetAndClient();
    const struct {
        std::string ip;
        std::string logged;
    } cases[] = {
        {"10.0.0.1\\evil", "10.0.0.1\\evil"},
        {"::1", "::1"},
        {"999.1.1.1", "999.1.1.1"},
        {"nas.example.com", "nas.example.com"},
        {std::string(300, '7'), std::string(300, '7')},
        {"10.0.0.1\r\n", "10.0.0.1\\x0d\\x0a"},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.logged);
        ScriptAddress(testCase.ip);
        scripted_sdk::ClearCalls();
        EXPECT_THAT(Discover(), ElementsAre("INFO found connected adapter eth0 (test adapter) IP " +
                                                testCase.logged + " MAC 00:11:22:33:44:55 DHCP 0",
                                            "ERROR adapter address " + testCase.logged +
                                                " is not an IPv4 address"));
        WaitForPasses(1);
        for (const auto& call : scripted_sdk::Calls()) {
            EXPECT_EQ(call.find("(2"), std::string::npos) << call;
        }
        std::string address = "unset";
        OnWorker([&] { address = Access().TargetAddress(); });
        EXPECT_EQ(address, "");
    }
    // Retried like a missing address; a real address is then taken.
    ScriptAddress("10.0.0.9");
    EXPECT_THAT(Discover(), Contains("INFO initial target address is 10.0.0.9; verifying clients"));
}

TEST_F(HostileTextTest, ControlBytesFromServersAreEscapedInLogsButSentBackVerbatim) {
    ConnectTargetAndClient();
    ScriptAddress("10.0.0.9", "eth0\n<0>forged");
    EXPECT_EQ(Discover().front(),
              "INFO found connected adapter eth0\\x0a<0>forged (test adapter) IP 10.0.0.9 MAC "
              "00:11:22:33:44:55 DHCP 0");

    const std::string share = "\\share\n<0>x\x7f\\dir";
    scripted_sdk::Configure(2, [&](scripted_sdk::Connection& c) {
        c.targets.resize(1);
        c.targets[0].id = 4;
        c.targets[0].path = "\\\\10.0.0.1" + share;
    });
    WaitForPasses(1);
    std::size_t mark = 0;
    OnWorker([&] {
        mark = log.Lines().size();
        scripted_sdk::Deliver(2, KXAPI_EVENT_DATA_READY, 0);
    });
    EXPECT_THAT(log.LinesFrom(mark),
                ElementsAre("INFO 10.0.1.1: found archive target "
                            "\\\\10.0.0.1\\share\\x0a<0>x\\x7f\\dir",
                            "INFO 10.0.1.1: setting archive target address to "
                            "\\\\10.0.0.9\\share\\x0a<0>x\\x7f\\dir",
                            "INFO 1 client checked against 10.0.0.9 after the "
                            "address change: 0 correct, 1 rewritten, 0 failing"));
    const auto updates = scripted_sdk::Inspect(2).updates;
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].path, "\\\\10.0.0.9" + share);
}

TEST_F(HostileTextTest, ControlBytesFromTheConfigurationAreEscapedInLogs) {
    WriteConfiguration(
        "<Vaultline>\n"
        "  <ArchiveTarget Address=\"nas&#10;&lt;0&gt;x\" Username=\"ad&#13;min\""
        " Password=\"target-secret\"/>\n"
        "  <ArchiveClients Username=\"backup\" Password=\"client-secret\"/>\n"
        "</Vaultline>\n");
    ASSERT_TRUE(service->Initialize());
    WaitForPasses(1);
    EXPECT_THAT(log.Lines(), ElementsAre("INFO archive target: nas\\x0a<0>x:22609, user ad\\x0dmin",
                                         "INFO connecting to server nas\\x0a<0>x:22609"));
}

}  // namespace

}  // namespace vaultline
