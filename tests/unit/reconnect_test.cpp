// Opening and logging in to a server, and the 5-second retry after every kind of failure.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include <gmock/gmock.h>

#include "unit/service_fixture.h"

namespace vaultline {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using unit_support::ServiceTest;

namespace {

class ReconnectTest : public ServiceTest {
protected:
    // The Open, Login and Close calls made on one connection, in order.
    static std::vector<std::string> ConnectionCalls(int connection) {
        std::vector<std::string> calls;
        const std::string number = std::to_string(connection);
        for (const auto& call : scripted_sdk::Calls()) {
            for (const char* name : {"Open(", "Login(", "Close("}) {
                const std::string prefix = name + number;
                if (call.rfind(prefix + ",", 0) == 0 || call == prefix + ")") {
                    calls.push_back(call);
                }
            }
        }
        return calls;
    }

    ConnState StateOf(Vaultline::Server& server) {
        ConnState state = ConnState::Closed;
        OnWorker([&] { state = server.link.State(); });
        return state;
    }
};

TEST_F(ReconnectTest, AcceptedLoginRequestLeavesTheServerOpenAndQueuesNothingMore) {
    WriteConfiguration(
        "<Vaultline>\n"
        "  <ArchiveTarget Address=\"archive.local\" Port=\"50000\" Username=\"admin\""
        " Password=\"target-secret\"/>\n"
        "  <ArchiveClients Username=\"backup\" Password=\"client-secret\"/>\n"
        "</Vaultline>\n");
    ASSERT_TRUE(service->Initialize());
    WaitForPasses(3);
    EXPECT_THAT(log.Lines(), ElementsAre("INFO archive target: archive.local:50000, user admin",
                                         "INFO connecting to server archive.local:50000"));
    EXPECT_THAT(ConnectionCalls(1),
                ElementsAre("Open(1,archive.local,50000)", "Login(1,admin,target-secret)"));
    EXPECT_EQ(StateOf(TargetServer()), ConnState::Open);
}

TEST_F(ReconnectTest, RefusedLoginRequestKeepsTheConnectionOpenAndQueuesADelayedRetry) {
    WriteStandardConfiguration(0);
    scripted_sdk::Configure(1, [](scripted_sdk::Connection& c) { c.loginResult = -1; });
    ASSERT_TRUE(service->Initialize());
    WaitForPasses(3);
    EXPECT_THAT(log.LinesFrom(1), ElementsAre("INFO connecting to server 10.0.0.1:22609",
                                              "ERROR login failed, retrying",
                                              "INFO connecting to server 10.0.0.1:22609"));
    EXPECT_THAT(ConnectionCalls(1),
                ElementsAre("Open(1,10.0.0.1,22609)", "Login(1,admin,target-secret)"));
    EXPECT_EQ(StateOf(TargetServer()), ConnState::Open);
    // Open means watched: the socket loop keeps asking for its socket until the retry.
    EXPECT_GT(scripted_sdk::Inspect(1).socketQueries, 0);
}

TEST_F(ReconnectTest, FailedOpenClosesTheServerStopsWatchingItAndQueuesADelayedRetry) {
    WriteStandardConfiguration(1);
    ASSERT_TRUE(service->Initialize());
    // A logged-in client whose server has gone away by the time an address change reconnects it.
    OnWorker([&] { Access().QueueReconnect(ClientServer(0), false); });
    WaitForPasses(1);
    std::size_t mark = 0;
    OnWorker([&] {
        scripted_sdk::Deliver(2, KXAPI_EVENT_LOGIN, 0);
        scripted_sdk::Configure(2, [](scripted_sdk::Connection& c) { c.openResult = -1; });
        mark = log.Lines().size();
        Access().QueueReconnect(ClientServer(0), false);
    });
    WaitForPasses(1);
    const int queriesAfterFailure = scripted_sdk::Inspect(2).socketQueries;
    WaitForPasses(3);

    EXPECT_THAT(log.LinesFrom(mark), ElementsAre("INFO connecting to server 10.0.1.1:22609",
                                                 "ERROR open failed, retrying",
                                                 "INFO connecting to server 10.0.1.1:22609"));
    EXPECT_EQ(StateOf(ClientServer(0)), ConnState::Closed);
    EXPECT_EQ(scripted_sdk::Inspect(2).socketQueries, queriesAfterFailure);
    EXPECT_THAT(ConnectionCalls(2),
                ElementsAre("Open(2,10.0.1.1,22609)", "Login(2,backup,client-secret)",
                            "Open(2,10.0.1.1,22609)"));
}

// One wait serves all four ways an attempt can fail, each on a server of its own.
TEST_F(ReconnectTest, EveryFailedAttemptIsRetriedWithANewOpenAfterTheRetryDelay) {
    struct Case {
        const char* failure;
        int connection;
        ConnState stateWhileWaiting;
        std::vector<std::string> calls;
    };
    std::vector<Case> cases = {
        {"login event reports failure",
         1,
         ConnState::Open,
         {"Open(1,10.0.0.1,22609)", "Login(1,admin,target-secret)", "Open(1,10.0.0.1,22609)",
          "Login(1,admin,target-secret)"}},
        {"open fails", 2, ConnState::Closed, {"Open(2,10.0.1.1,22609)", "Open(2,10.0.1.1,22609)"}},
        {"login request refused",
         3,
         ConnState::Open,
         {"Open(3,10.0.1.2,22609)", "Login(3,backup,client-secret)", "Open(3,10.0.1.2,22609)",
          "Login(3,backup,client-secret)"}},
        {"socket lost while logged in",
         4,
         ConnState::Closed,
         {"Open(4,10.0.1.3,22609)", "Login(4,backup,client-secret)", "Open(4,10.0.1.3,22609)",
          "Login(4,backup,client-secret)"}},
    };
    // The delay itself is the task queue's; here only that every failure waits it out, on the
    // service's clock.
    const ServiceTimes times = TestTimes();
    WriteStandardConfiguration(3);
    scripted_sdk::Configure(2, [](scripted_sdk::Connection& c) { c.openResult = -1; });
    scripted_sdk::Configure(3, [](scripted_sdk::Connection& c) { c.loginResult = -1; });

    ASSERT_TRUE(service->Initialize());
    OnWorker([&] {
        for (std::size_t client = 0; client < 3; ++client) {
            Access().QueueReconnect(ClientServer(client), false);
        }
    });
    WaitForPasses(1);
    OnWorker([&] {
        scripted_sdk::Deliver(1, KXAPI_EVENT_LOGIN, 0x0107);
        scripted_sdk::Deliver(4, KXAPI_EVENT_LOGIN, 0);
        scripted_sdk::Configure(4, [](scripted_sdk::Connection& c) { c.reportSocket = false; });
    });
    WaitForPasses(2);
    // The lost connection's retry should find a healthy server again.
    scripted_sdk::Configure(4, [](scripted_sdk::Connection& c) { c.reportSocket = true; });

    // A second short of the delay (the real time the test takes counts too): nothing retried.
    clock.Advance(times.retryDelay - std::chrono::seconds(1));
    WaitForPasses(2);
    std::vector<ConnState> statesWhileWaiting;
    OnWorker([&] {
        statesWhileWaiting.push_back(TargetServer().link.State());
        for (std::size_t client = 0; client < 3; ++client) {
            statesWhileWaiting.push_back(ClientServer(client).link.State());
        }
    });
    for (std::size_t index = 0; index < cases.size(); ++index) {
        SCOPED_TRACE(cases[index].failure);
        EXPECT_EQ(statesWhileWaiting[index], cases[index].stateWhileWaiting);
        EXPECT_EQ(scripted_sdk::Inspect(cases[index].connection).opens, 1);
    }

    clock.Advance(std::chrono::seconds(1));
    WaitForPasses(2);
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.failure);
        EXPECT_EQ(ConnectionCalls(testCase.connection), testCase.calls);
        EXPECT_EQ(scripted_sdk::Inspect(testCase.connection).closes, 0);
    }
    // A server that never opened was never watched.
    EXPECT_EQ(scripted_sdk::Inspect(2).socketQueries, 0);
}

// A TCP socket that never becomes ready, so the socket loop leaves it alone: it listens on
// loopback and nobody connects.
int QuietTcpSocket() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd, 1), 0);
    return fd;
}

// SO_KEEPALIVE, TCP_KEEPIDLE, TCP_KEEPINTVL, TCP_KEEPCNT and TCP_USER_TIMEOUT of a socket.
std::vector<int> KeepaliveOptions(int fd) {
    std::vector<int> values;
    const std::pair<int, int> options[] = {{SOL_SOCKET, SO_KEEPALIVE},
                                           {IPPROTO_TCP, TCP_KEEPIDLE},
                                           {IPPROTO_TCP, TCP_KEEPINTVL},
                                           {IPPROTO_TCP, TCP_KEEPCNT},
                                           {IPPROTO_TCP, TCP_USER_TIMEOUT}};
    for (const auto& [level, name] : options) {
        int value = -1;
        socklen_t length = sizeof value;
        getsockopt(fd, level, name, &value, &length);
        values.push_back(value);
    }
    return values;
}

// The target's SDK reports its TCP socket at once; the client's first reports the descriptor of
// a name lookup still running, and its TCP socket only by the login.
TEST_F(ReconnectTest, KeepaliveIsEnabledOnTheTcpSocketAfterTheOpenAndAgainAfterTheLogin) {
    const std::vector<int> enabled = {1, 60, 10, 3, 60000};
    const int targetSocket = QuietTcpSocket();
    const int lookup = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int clientSocket = QuietTcpSocket();
    WriteStandardConfiguration(1);
    scripted_sdk::Configure(1,
                            [&](scripted_sdk::Connection& c) { c.reportedSocket = targetSocket; });
    scripted_sdk::Configure(2, [&](scripted_sdk::Connection& c) { c.reportedSocket = lookup; });
    ASSERT_TRUE(service->Initialize());
    OnWorker([&] { Access().QueueReconnect(ClientServer(0), false); });
    WaitForPasses(1);
    EXPECT_EQ(KeepaliveOptions(targetSocket), enabled);
    EXPECT_EQ(KeepaliveOptions(clientSocket)[0], 0);

    OnWorker([&] {
        scripted_sdk::Configure(
            2, [&](scripted_sdk::Connection& c) { c.reportedSocket = clientSocket; });
        scripted_sdk::Deliver(2, KXAPI_EVENT_LOGIN, 0);
    });
    EXPECT_EQ(KeepaliveOptions(clientSocket), enabled);
    for (const auto& line : log.Lines()) {
        EXPECT_THAT(line, Not(HasSubstr("keepalive")));
    }
    service.reset();
    for (const int fd : {targetSocket, lookup, clientSocket}) {
        close(fd);
    }
}

}  // namespace

}  // namespace vaultline
