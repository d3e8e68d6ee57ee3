// The socket loop: which connections are watched, read and write interest, failures and losses.
#include <cerrno>
#include <climits>
#include <cstring>
#include <future>
#include <sstream>

#include <gmock/gmock.h>

#include "unit/service_fixture.h"

namespace vaultline {

using ::testing::ElementsAre;
using unit_support::ServiceTest;

namespace {

class SocketLoopTest : public ServiceTest {
protected:
    // The target opened and logged in, as the socket loop meets it in normal operation.
    void ConnectTarget(int clientCount = 0) {
        WriteStandardConfiguration(clientCount);
        ASSERT_TRUE(service->Initialize());
        WaitForPasses(1);
        OnWorker([] { scripted_sdk::Deliver(1, KXAPI_EVENT_LOGIN, 0); });
    }

    // Runs `change` between two passes; returns how many lines had been logged before it.
    std::size_t BetweenPasses(const std::function<void()>& change) {
        std::size_t mark = 0;
        OnWorker([&] {
            mark = log.Lines().size();
            change();
        });
        return mark;
    }

    ConnState StateOf(Vaultline::Server& server) {
        ConnState state = ConnState::Closed;
        OnWorker([&] { state = server.link.State(); });
        return state;
    }

    static std::string HandleText(int connection) {
        std::ostringstream text;
        text << scripted_sdk::Handle(connection);
        return text.str();
    }
};

TEST_F(SocketLoopTest, SdkReadsOnlyWhenReadableAndWritesOnlyWhileItHasOutputPending) {
    ConnectTarget();
    WaitForPasses(3);
    EXPECT_EQ(scripted_sdk::Inspect(1).recvCalls, 0);
    EXPECT_EQ(scripted_sdk::Inspect(1).sendCalls, 0);

    scripted_sdk::MakeReadable(1);
    WaitForPasses(3);
    EXPECT_EQ(scripted_sdk::Inspect(1).recvCalls, 1);

    scripted_sdk::Configure(1, [](scripted_sdk::Connection& c) { c.writing = 1; });
    WaitForPasses(3);
    EXPECT_GE(scripted_sdk::Inspect(1).sendCalls, 2);

    int sendsWhileWriting = 0;
    BetweenPasses([&] {
        scripted_sdk::Configure(1, [&](scripted_sdk::Connection& c) {
            c.writing = 0;
            sendsWhileWriting = c.sendCalls;
        });
    });
    WaitForPasses(3);
    EXPECT_EQ(scripted_sdk::Inspect(1).sendCalls, sendsWhileWriting);
    EXPECT_EQ(scripted_sdk::Inspect(1).recvCalls, 1);
    EXPECT_THAT(log.LinesFrom(2), ElementsAre("INFO successful login to 10.0.0.1:22609"));
}

TEST_F(SocketLoopTest, FailedReceiveDoesNotStopTheSendOrTheHangUpReport) {
    ConnectTarget();
    const std::size_t mark = BetweenPasses([] {
        scripted_sdk::Configure(1, [](scripted_sdk::Connection& c) {
            c.writing = 1;
            c.recvResult = -1;
            c.sendResult = -1;
        });
        scripted_sdk::ClearCalls();
        scripted_sdk::HangUp(1);
    });
    WaitForPasses(1);

    const std::string handle = HandleText(1);
    ASSERT_EQ(handle.rfind("0x", 0), 0u) << handle;
    auto lines = log.LinesFrom(mark);
    ASSERT_GE(lines.size(), 3u);
    lines.resize(3);
    EXPECT_THAT(lines, ElementsAre("ERROR receive failed on hkx " + handle,
                                   "ERROR send failed on hkx " + handle,
                                   "ERROR exceptional condition on hkx " + handle + ": 16"));
    auto calls = scripted_sdk::Calls();
    ASSERT_GE(calls.size(), 2u);
    calls.resize(2);
    EXPECT_THAT(calls, ElementsAre("Recv(1)", "Send(1)"));
    // These failures are only reported; the connection is left as it was.
    EXPECT_EQ(StateOf(TargetServer()), ConnState::LoggedIn);
    EXPECT_EQ(scripted_sdk::Inspect(1).opens, 1);
    EXPECT_EQ(scripted_sdk::Inspect(1).closes, 0);
}

TEST_F(SocketLoopTest, LostSocketClosesTheConnectionAndQueuesADelayedReconnect) {
    ConnectTarget();
    const std::size_t mark = BetweenPasses([] {
        scripted_sdk::Configure(1, [](scripted_sdk::Connection& c) { c.reportSocket = false; });
    });
    WaitForPasses(1);
    const int queriesWhenLost = scripted_sdk::Inspect(1).socketQueries;
    WaitForPasses(3);

    EXPECT_THAT(log.LinesFrom(mark), ElementsAre("WARNING connection to 10.0.0.1:22609 lost",
                                                 "INFO connecting to server 10.0.0.1:22609"));
    EXPECT_EQ(StateOf(TargetServer()), ConnState::Closed);
    // Not watched while waiting for the retry, and not reopened early.
    EXPECT_EQ(scripted_sdk::Inspect(1).socketQueries, queriesWhenLost);
    EXPECT_EQ(scripted_sdk::Inspect(1).opens, 1);
    EXPECT_EQ(scripted_sdk::Inspect(1).closes, 0);
}

TEST_F(SocketLoopTest, SocketThatCannotBeWatchedIsReportedAndTreatedAsLost) {
    ConnectTarget();
    const std::size_t mark = BetweenPasses([] {
        scripted_sdk::Configure(1, [](scripted_sdk::Connection& c) { c.reportedSocket = INT_MAX; });
    });
    WaitForPasses(3);
    EXPECT_THAT(log.LinesFrom(mark),
                ElementsAre("ERROR epoll_ctl (add) failed; error " + std::to_string(EBADF) + ": " +
                                std::strerror(EBADF),
                            "WARNING connection to 10.0.0.1:22609 lost",
                            "INFO connecting to server 10.0.0.1:22609"));
    EXPECT_EQ(StateOf(TargetServer()), ConnState::Closed);
}

TEST_F(SocketLoopTest, ClosedConnectionsAreNeverAskedForTheirSocketNorReportedLost) {
    ConnectTarget(2);
    OnWorker([&] { Access().QueueReconnect(ClientServer(0), false); });
    WaitForPasses(1);
    OnWorker([] { scripted_sdk::Deliver(2, KXAPI_EVENT_LOGIN, 0); });
    WaitForPasses(2);
    EXPECT_GT(scripted_sdk::Inspect(2).socketQueries, 0);

    int queriesWhenClosed = 0;
    const std::size_t mark = BetweenPasses([&] {
        Access().CloseServer(ClientServer(0));
        queriesWhenClosed = scripted_sdk::Inspect(2).socketQueries;
    });
    const int targetQueries = scripted_sdk::Inspect(1).socketQueries;
    WaitForPasses(3);

    EXPECT_EQ(scripted_sdk::Inspect(2).socketQueries, queriesWhenClosed);
    EXPECT_EQ(scripted_sdk::Inspect(3).socketQueries, 0);  // never opened
    EXPECT_GT(scripted_sdk::Inspect(1).socketQueries, targetQueries);
    EXPECT_THAT(log.LinesFrom(mark), ElementsAre("INFO closing connection to 10.0.1.1:22609"));
}

// 40 clients listed first whose peers never stop sending fill every pass's 32 events; the
// client after them must still be served.
TEST_F(SocketLoopTest, AlwaysReadyConnectionsListedFirstDoNotStarveALaterClient) {
    constexpr int kBusy = 40;
    ConnectTarget(kBusy + 1);
    for (int connection = 2; connection <= kBusy + 1; ++connection) {
        scripted_sdk::Configure(connection, [](scripted_sdk::Connection& c) {
            c.readableOnOpen = true;
            c.stayReadable = true;
        });
    }
    constexpr int kLate = kBusy + 2;
    scripted_sdk::Configure(kLate, [](scripted_sdk::Connection& c) {
        c.readableOnOpen = true;
        c.eventsOnRecv = {{KXAPI_EVENT_LOGIN, 0}, {KXAPI_EVENT_DATA_READY, 0}};
        c.targets.resize(1);
        c.targets[0].path = "\\\\10.0.0.4\\archive";
    });
    scripted_sdk::Configure(1, [](scripted_sdk::Connection& c) {
        c.adapters = {scripted_sdk::Adapter{}};
        c.adapters[0].ip = "10.0.0.5";
    });
    OnWorker([&] { Access().DoGetAddress(TargetServer()); });
    EXPECT_TRUE(testing_support::WaitUntil(
        [] { return scripted_sdk::Inspect(kLate).updates.size() == 1; }, std::chrono::seconds(2)));
    EXPECT_GT(scripted_sdk::Inspect(2).recvCalls, 1);
}

// A round opens every client at once. While the passes serve different connections each time,
// the start does not move, so the first clients in the list are served first.
TEST_F(SocketLoopTest, RoundOfConnectionsIsServedInTheListsOrder) {
    constexpr int kClients = 40;
    ConnectTarget(kClients);
    for (int connection = 2; connection <= kClients + 1; ++connection) {
        scripted_sdk::Configure(connection,
                                [](scripted_sdk::Connection& c) { c.readableOnOpen = true; });
    }
    scripted_sdk::Configure(1, [](scripted_sdk::Connection& c) {
        c.adapters = {scripted_sdk::Adapter{}};
        c.adapters[0].ip = "10.0.0.5";
    });
    WaitForPasses(3);
    scripted_sdk::ClearCalls();
    OnWorker([&] { Access().DoGetAddress(TargetServer()); });
    ASSERT_TRUE(testing_support::WaitUntil(
        [] { return scripted_sdk::Inspect(kClients + 1).recvCalls == 1; },
        std::chrono::seconds(2)));

    std::vector<std::string> receives;
    for (const std::string& call : scripted_sdk::Calls()) {
        if (call.rfind("Recv(", 0) == 0) {
            receives.push_back(call);
        }
    }
    std::vector<std::string> listOrder;
    for (int connection = 2; connection <= kClients + 1; ++connection) {
        listOrder.push_back("Recv(" + std::to_string(connection) + ")");
    }
    EXPECT_EQ(receives, listOrder);
}

// Work queued for the worker runs after the pass in progress, which must not sit out its
// 100 ms first.
TEST_F(SocketLoopTest, PassDoesNotWaitWhileTasksAreQueued) {
    Restart(ServiceTimes{});
    ConnectTarget();
    // Each link of the chain queues the next from the worker, so a pass runs between them.
    constexpr int kLinks = 10;
    int links = 0;
    std::chrono::steady_clock::time_point start;
    std::promise<std::chrono::steady_clock::duration> took;
    std::function<void()> link = [&] {
        if (links++ == kLinks) {
            took.set_value(std::chrono::steady_clock::now() - start);
            return;
        }
        Access().Schedule(link, false);
    };
    OnWorker([&] {
        start = std::chrono::steady_clock::now();
        link();
    });
    auto future = took.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    // Ten passes that each sat out their 100 ms would take a whole second.
    EXPECT_LT(future.get(), std::chrono::milliseconds(500));
}

}  // namespace

}  // namespace vaultline
