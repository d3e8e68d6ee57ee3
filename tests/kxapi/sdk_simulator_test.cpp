// The SDK against archive-simulator on loopback: login, data, queries, updates, lost connections.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sdk/kxapi.h"
#include "sdk_test_client.h"
#include "support/simulator_harness.h"

namespace {

using kxapi_testing::EmptyNetworkAdapter;
using kxapi_testing::EmptyTargetInfo;
using kxapi_testing::SdkClient;
using testing_support::FleetServer;
using testing_support::Simulator;

const std::string kArchivePath = "\\\\10.0.0.9\\archive";

// True when `name` resolves, and only to loopback addresses.
bool ResolvesToLoopback(const char* name) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0) {
        return false;
    }
    bool loopback = found != nullptr;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
            loopback = loopback && (ntohl(address->sin_addr.s_addr) >> 24) == 127;
        } else if (entry->ai_family == AF_INET6) {
            const auto* address = reinterpret_cast<const sockaddr_in6*>(entry->ai_addr);
            loopback = loopback && IN6_IS_ADDR_LOOPBACK(&address->sin6_addr);
        } else {
            loopback = false;
        }
    }
    freeaddrinfo(found);
    return loopback;
}

FleetServer Server(const std::string& name, std::map<std::string, std::string> knobs = {}) {
    FleetServer server;
    server.name = name;
    server.knobs = std::move(knobs);
    server.adapters = {{"eth0", "Onboard NIC", "00:11:22:33:44:55", "10.0.0.5", true, true},
                       {"eth1", "Spare port", "00:11:22:33:44:66", "0.0.0.0", false, false}};
    server.targets = {{1, true, kArchivePath}, {7, false, "\\\\10.0.0.9\\old"}};
    return server;
}

class SdkSimulatorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        simulator_ = new Simulator({Server("plain"), Server("other", {}),
                                    Server("refusing", {{"refuseLogin", "true"}}),
                                    Server("unlucky", {{"refuseProbability", "1"}}),
                                    Server("rejecting", {{"rejectUpdates", "true"}}),
                                    Server("dropping", {{"dropAfterLoginMs", "200"}}),
                                    Server("slow", {{"replyDelayMs", "300"}}), [] {
                                        FleetServer server = Server("ipv6");
                                        server.address = "::1";
                                        return server;
                                    }()});
    }
    static void TearDownTestSuite() {
        delete simulator_;
        simulator_ = nullptr;
    }
    static unsigned Port(const std::string& name) { return simulator_->Port(name); }
    static Simulator* simulator_;
};

Simulator* SdkSimulatorTest::simulator_ = nullptr;

TEST_F(SdkSimulatorTest, AcceptedLoginDeliversLoginThenData) {
    SdkClient client;
    ASSERT_EQ(client.Open(Port("plain")), 0);
    ASSERT_EQ(client.Login(), 0);
    EXPECT_NE(KXAPI_IsWriting(client.Handle()), 0);
    ASSERT_TRUE(client.WaitForEvent(KXAPI_EVENT_DATA_READY));
    // Between the two come the data set's pieces.
    ASSERT_GE(client.Events().size(), 2u);
    EXPECT_EQ(client.Events().front().event, KXAPI_EVENT_LOGIN);
    EXPECT_EQ(client.Events().front().result, 0);
    EXPECT_EQ(client.Events().back().event, KXAPI_EVENT_DATA_READY);
    EXPECT_EQ(client.Count(KXAPI_EVENT_LOGIN) + client.Count(KXAPI_EVENT_DATA_READY) +
                  client.Count(KXAPI_EVENT_DATA_PROGRESS),
              client.Events().size());
    EXPECT_EQ(KXAPI_IsWriting(client.Handle()), 0);
    EXPECT_TRUE(client.Connected());
    EXPECT_TRUE(simulator_->Process().WaitForStdout("login name=plain user=admin result=accepted",
                                                    std::chrono::seconds(5)));
}

TEST_F(SdkSimulatorTest, RefusedLoginCarriesTheReasonAndEndsTheConnection) {
    struct Case {
        const char* server;
        const char* password;
        long reason;
    };
    for (const Case& refusal : {Case{"plain", "wrong-password", 1}, Case{"refusing", "secret", 2},
                                Case{"unlucky", "secret", 2}}) {
        SCOPED_TRACE(refusal.server);
        SdkClient client;
        ASSERT_EQ(client.Open(Port(refusal.server)), 0);
        ASSERT_EQ(client.Login("admin", refusal.password), 0);
        ASSERT_TRUE(client.WaitForEvent(KXAPI_EVENT_LOGIN));
        EXPECT_EQ(client.Events().front().result & 0xFF, refusal.reason);
        EXPECT_TRUE(client.PumpUntil([&] { return !client.Connected(); }));
        EXPECT_EQ(client.Count(KXAPI_EVENT_DATA_READY), 0u);
        EXPECT_LT(client.UpdatePath(1, "\\\\x\\y"), 0);
    }
    EXPECT_EQ(simulator_->Process().Stdout().find("wrong-password"), std::string::npos);
    EXPECT_EQ(simulator_->Process().Stdout().find("secret"), std::string::npos);
}

TEST_F(SdkSimulatorTest, QueriesAnswerFromTheData) {
    SdkClient client;
    ASSERT_TRUE(client.ConnectAndLoad(Port("plain")));

    NetworkInfo info{sizeof(NetworkInfo), {}, 0, {}};
    ASSERT_EQ(KXAPI_GetNetworkInfo(client.Handle(), &info), 0);
    EXPECT_EQ(info.adapterCount, 2u);
    const auto first = client.Adapter(0);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->name, "eth0");
    EXPECT_EQ(first->description, "Onboard NIC");
    EXPECT_EQ(first->mac, "00:11:22:33:44:55");
    EXPECT_EQ(first->ip, "10.0.0.5");
    EXPECT_TRUE(first->connected && first->dhcp);
    const auto second = client.Adapter(1);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->ip, "0.0.0.0");
    EXPECT_FALSE(second->connected || second->dhcp);

    EXPECT_EQ(client.TargetIds(), (std::vector<int>{1, 7}));
    EXPECT_EQ(client.TargetPath(1), kArchivePath);
    TargetInfo target = EmptyTargetInfo();
    ASSERT_EQ(KXAPI_GetTargetInfo(client.Handle(), 7, &target), 0);
    EXPECT_EQ(target.enabled, 0);
    EXPECT_EQ(target.pathLength, std::strlen("\\\\10.0.0.9\\old") + 1);
}

TEST_F(SdkSimulatorTest, TooSmallBufferIsRefusedWithoutWriting) {
    SdkClient client;
    ASSERT_TRUE(client.ConnectAndLoad(Port("plain")));

    std::string path(kArchivePath.size(), 'x');  // one short: no room for the NUL
    TargetInfo target = EmptyTargetInfo();
    target.path = path.data();
    target.pathLength = path.size();
    EXPECT_NE(KXAPI_GetTargetInfo(client.Handle(), 1, &target), 0);
    EXPECT_EQ(path, std::string(kArchivePath.size(), 'x'));
    EXPECT_EQ(target.pathLength, path.size());

    // One text too small fails the whole record: the texts that would fit stay unwritten too.
    std::string name(16, 'n');
    std::string ip(3, 'i');
    NetworkAdapter adapter = EmptyNetworkAdapter();
    adapter.name = name.data();
    adapter.nameLength = name.size();
    adapter.ip = ip.data();
    adapter.ipLength = ip.size();
    EXPECT_NE(KXAPI_GetNetworkAdapter(client.Handle(), 0, &adapter), 0);
    EXPECT_EQ(name, std::string(16, 'n'));
    EXPECT_EQ(ip, "iii");
    EXPECT_EQ(adapter.descriptionLength, 0u);
}

TEST_F(SdkSimulatorTest, BadRecordsAndUnknownKeysFailWithoutTouchingReservedBytes) {
    SdkClient client;
    ASSERT_TRUE(client.ConnectAndLoad(Port("plain")));
    void* handle = client.Handle();

    TargetInfo target = EmptyTargetInfo();
    std::memset(target.reserved1, 0xAB, sizeof target.reserved1);
    std::memset(target.reserved2, 0xCD, sizeof target.reserved2);
    std::memset(target.extension.reserved, 0xEF, sizeof target.extension.reserved);
    ASSERT_EQ(KXAPI_GetTargetInfo(handle, 1, &target), 0);
    for (uint8_t byte : target.reserved1)
        ASSERT_EQ(byte, 0xAB);
    for (uint8_t byte : target.reserved2)
        ASSERT_EQ(byte, 0xCD);
    for (uint8_t byte : target.extension.reserved)
        ASSERT_EQ(byte, 0xEF);

    TargetInfo wrongSize = EmptyTargetInfo();
    wrongSize.size = sizeof(TargetInfo) - 8;
    TargetInfo wrongExtension = EmptyTargetInfo();
    wrongExtension.extension.size = 8;
    TargetInfo good = EmptyTargetInfo();
    NetworkAdapter wrongAdapter = EmptyNetworkAdapter();
    wrongAdapter.size = 100;
    NetworkAdapter adapter = EmptyNetworkAdapter();
    NetworkInfo wrongInfo{16, {}, 0, {}};

    EXPECT_LT(KXAPI_GetTargetInfo(handle, 1, &wrongSize), 0);
    EXPECT_LT(KXAPI_GetTargetInfo(handle, 1, &wrongExtension), 0);
    EXPECT_LT(KXAPI_GetTargetInfo(handle, 1, nullptr), 0);
    EXPECT_LT(KXAPI_GetTargetInfo(handle, 99, &good), 0);
    EXPECT_LT(KXAPI_GetTargetInfo(handle, -1, &good), 0);
    EXPECT_NE(KXAPI_GetNetworkAdapter(handle, 0, &wrongAdapter), 0);
    EXPECT_NE(KXAPI_GetNetworkAdapter(handle, 2, &adapter), 0);
    EXPECT_NE(KXAPI_GetNetworkAdapter(handle, 0, nullptr), 0);
    EXPECT_NE(KXAPI_GetNetworkInfo(handle, &wrongInfo), 0);
    EXPECT_NE(KXAPI_GetNetworkInfo(handle, nullptr), 0);
    EXPECT_EQ(KXAPI_GetTargetId(handle, 2), -1);
}

TEST_F(SdkSimulatorTest, UpdateIsAcknowledgedThenTheServerAsksToClose) {
    SdkClient client;
    ASSERT_TRUE(client.ConnectAndLoad(Port("other")));
    const std::string newPath = "\\\\10.0.0.77\\moved here";
    ASSERT_EQ(client.UpdatePath(1, newPath), 0);
    EXPECT_NE(KXAPI_IsWriting(client.Handle()), 0);
    ASSERT_TRUE(client.WaitForEvent(KXAPI_EVENT_CLOSE_REQUEST));
    EXPECT_EQ(client.TargetPath(1), newPath);  // the acknowledgement refreshed the cache
    EXPECT_EQ(client.Count(KXAPI_EVENT_DATA_READY), 1u);
    EXPECT_EQ(simulator_->TargetPath("other", 1), newPath);
    EXPECT_TRUE(simulator_->Process().WaitForStdout(
        "update name=other target=1 path=\\\\10.0.0.77\\moved%20here result=applied",
        std::chrono::seconds(5)));
}

TEST_F(SdkSimulatorTest, RejectedUpdateKeepsThePathAndTheConnection) {
    SdkClient client;
    ASSERT_TRUE(client.ConnectAndLoad(Port("rejecting")));
    ASSERT_EQ(client.UpdatePath(1, "\\\\10.0.0.8\\elsewhere"), 0);
    EXPECT_TRUE(client.PumpUntil([] {
        return simulator_->Process().Stdout().find("name=rejecting target=1") != std::string::npos;
    }));
    client.PumpUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(client.TargetPath(1), kArchivePath);
    EXPECT_EQ(client.Count(KXAPI_EVENT_CLOSE_REQUEST), 0u);
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(simulator_->TargetPath("rejecting", 1), kArchivePath);
}

TEST_F(SdkSimulatorTest, UpdateRecordsAreCheckedBeforeQueueing) {
    SdkClient client;
    EXPECT_LT(client.UpdatePath(1, "\\\\a\\b"), 0);  // not connected
    ASSERT_TRUE(client.ConnectAndLoad(Port("rejecting")));
    void* handle = client.Handle();
    char path[] = "\\\\a\\b";

    TargetInfo noPath = EmptyTargetInfo();
    noPath.pathLength = sizeof path;
    TargetInfo zeroLength = EmptyTargetInfo();
    zeroLength.path = path;
    TargetInfo emptyText = EmptyTargetInfo();
    char empty[] = "";
    emptyText.path = empty;
    emptyText.pathLength = 1;
    TargetInfo wrongSize = EmptyTargetInfo();
    wrongSize.path = path;
    wrongSize.pathLength = sizeof path;
    wrongSize.size = 200;
    TargetInfo wrongExtension = wrongSize;
    wrongExtension.size = sizeof(TargetInfo);
    wrongExtension.extension.size = 0;

    EXPECT_LT(client.UpdatePath(99, "\\\\a\\b"), 0);
    EXPECT_LT(KXAPI_UpdateTargetEx(handle, 1, nullptr, nullptr, nullptr), 0);
    EXPECT_LT(KXAPI_UpdateTargetEx(handle, 1, nullptr, nullptr, &noPath), 0);
    EXPECT_LT(KXAPI_UpdateTargetEx(handle, 1, nullptr, nullptr, &zeroLength), 0);
    EXPECT_LT(KXAPI_UpdateTargetEx(handle, 1, nullptr, nullptr, &emptyText), 0);
    EXPECT_LT(KXAPI_UpdateTargetEx(handle, 1, nullptr, nullptr, &wrongSize), 0);
    EXPECT_LT(KXAPI_UpdateTargetEx(handle, 1, nullptr, nullptr, &wrongExtension), 0);
    EXPECT_EQ(KXAPI_IsWriting(handle), 0);
}

TEST_F(SdkSimulatorTest, UpdateReadsThePathNoFurtherThanItsLength) {
    SdkClient client;
    ASSERT_TRUE(client.ConnectAndLoad(Port("other")));
    char path[] = {'\\', '\\', 'c', 'u', 't', 'X', 'X', 'X'};  // no NUL anywhere
    TargetInfo info = EmptyTargetInfo();
    info.path = path;
    info.pathLength = 5;
    ASSERT_EQ(KXAPI_UpdateTargetEx(client.Handle(), 7, nullptr, nullptr, &info), 0);
    ASSERT_TRUE(client.WaitForEvent(KXAPI_EVENT_CLOSE_REQUEST));
    EXPECT_EQ(client.TargetPath(7), "\\\\cut");
    EXPECT_EQ(simulator_->TargetPath("other", 7), "\\\\cut");
}

std::size_t CountOf(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

TEST_F(SdkSimulatorTest, OpenOnAnOpenHandleStartsOver) {
    SdkClient client;
    ASSERT_TRUE(client.ConnectAndLoad(Port("other")));
    const std::string disconnect = "disconnect name=other";
    const std::size_t before = CountOf(simulator_->Process().Stdout(), disconnect);
    ASSERT_EQ(client.Open(Port("refusing")), 0);
    EXPECT_EQ(KXAPI_GetNumTargets(client.Handle()), 0u);  // the old data went with the connection
    EXPECT_TRUE(testing_support::WaitUntil(
        [&] { return CountOf(simulator_->Process().Stdout(), disconnect) > before; },
        std::chrono::seconds(5)));
    ASSERT_EQ(client.Login(), 0);
    ASSERT_TRUE(client.WaitForEvent(KXAPI_EVENT_LOGIN, 2));
    EXPECT_EQ(client.Events().back().result, 2);  // answered by the new server
}

TEST_F(SdkSimulatorTest, ServerDroppingTheConnectionTurnsTheSocketNegative) {
    SdkClient client;
    ASSERT_TRUE(client.ConnectAndLoad(Port("dropping")));
    EXPECT_TRUE(client.PumpUntil([&] { return !client.Connected(); }));
    EXPECT_EQ(KXAPI_GetSocket(client.Handle()), -1);
    EXPECT_TRUE(client.Failures().empty()) << "an orderly close is no failed call";
    EXPECT_NE(KXAPI_Send(client.Handle()), 0);
    EXPECT_EQ(client.TargetPath(1), kArchivePath) << "the last data stays readable";
    EXPECT_TRUE(client.ConnectAndLoad(Port("plain")));  // the same handle connects again
}

TEST_F(SdkSimulatorTest, RepliesWaitForTheConfiguredDelay) {
    SdkClient client;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.ConnectAndLoad(Port("slow")));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
}

TEST_F(SdkSimulatorTest, ConnectsOverIpv6AndByHostName) {
    SdkClient overIpv6;
    ASSERT_EQ(overIpv6.Open(Port("ipv6"), "::1"), 0);
    ASSERT_EQ(overIpv6.Login(), 0);
    EXPECT_TRUE(overIpv6.WaitForEvent(KXAPI_EVENT_DATA_READY));

    // A minimal system may have no /etc/hosts, and then nothing names the loopback.
    if (!ResolvesToLoopback("localhost")) {
        GTEST_SKIP() << "\"localhost\" does not resolve on this system; connecting by name "
                        "is not checked";
    }
    SdkClient byName;
    ASSERT_EQ(byName.Open(Port("plain"), "localhost"), 0);
    ASSERT_EQ(byName.Login(), 0);
    EXPECT_TRUE(byName.WaitForEvent(KXAPI_EVENT_DATA_READY));
}

// The callback calls back into the SDK: queries and an update while data is delivered, Close
// when asked to close.
TEST_F(SdkSimulatorTest, CallbackMayUseItsOwnHandle) {
    SdkClient client;
    std::vector<std::string> pathsSeenInCallback;
    int updateResult = -100;
    client.onEvent = [&](int event, long) {
        if (event == KXAPI_EVENT_DATA_READY && pathsSeenInCallback.empty()) {
            for (int id : client.TargetIds()) {
                pathsSeenInCallback.push_back(client.TargetPath(id).value_or("?"));
            }
            updateResult = client.UpdatePath(1, "\\\\10.0.0.5\\from-callback");
        }
        if (event == KXAPI_EVENT_CLOSE_REQUEST) {
            KXAPI_Close(client.Handle());
        }
    };
    ASSERT_EQ(client.Open(Port("other")), 0);
    ASSERT_EQ(client.Login(), 0);
    ASSERT_TRUE(client.WaitForEvent(KXAPI_EVENT_CLOSE_REQUEST));
    EXPECT_EQ(pathsSeenInCallback.size(), 2u);
    EXPECT_EQ(updateResult, 0);
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(KXAPI_GetNumTargets(client.Handle()), 0u);
}

int CleanUpInsideCallback(int event, long, tagPayloadType*, unsigned long, void* handleSlot) {
    if (event == KXAPI_EVENT_DATA_READY) {
        auto* handle = static_cast<void**>(handleSlot);
        KXAPI_Cleanup(*handle);
        *handle = nullptr;
    }
    return 0;
}

TEST_F(SdkSimulatorTest, CleanupInsideTheCallbackIsSafe) {
    void* handle = KXAPI_Init();
    void* slot = handle;
    ASSERT_EQ(KXAPI_SetCallbackEx(handle, CleanUpInsideCallback, &slot), 0);
    ASSERT_EQ(KXAPI_Open(handle, "127.0.0.1", static_cast<unsigned short>(Port("plain"))), 0);
    ASSERT_EQ(KXAPI_Login(handle, "admin", "secret"), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (slot != nullptr && std::chrono::steady_clock::now() < deadline) {
        KXAPI_Send(handle);
        KXAPI_Recv(handle);  // frees the handle on its way out once the callback cleaned up
        usleep(5000);
    }
    EXPECT_EQ(slot, nullptr);
}

// As many targets as a data set can announce, with paths long enough that the whole set (about
// 13 MB) is larger than a handful of replies: it still arrives whole, and every target is found
// by its id.
TEST(SdkLargeDataSetTest, TheLargestDataSetArrivesWholeAndEveryTargetIsFoundById) {
    FleetServer crowded = Server("crowded");
    crowded.targets.clear();
    const auto pathOf = [](int id) {
        return "\\\\nas\\" + std::string(180, 'a') + std::to_string(id);
    };
    for (int id = 1; id <= 65535; ++id) {
        crowded.targets.push_back({id, true, pathOf(id)});
    }
    Simulator simulator({crowded});
    SdkClient client;
    ASSERT_TRUE(client.ConnectAndLoad(simulator.Port("crowded")));
    ASSERT_EQ(KXAPI_GetNumTargets(client.Handle()), 65535u);
    for (const int id : {1, 32768, 65535}) {
        EXPECT_EQ(client.TargetPath(id), pathOf(id));
    }
}

}  // namespace
