// The SDK meeting a hostile or vanishing peer: protocol errors, partial frames, closed sockets.
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fake_server.h"
#include "protocol/byte_codec.h"
#include "protocol/messages.h"
#include "sdk/kxapi.h"
#include "sdk_test_client.h"

namespace {

using kxapi_testing::Encoded;
using kxapi_testing::FakeServer;
using kxapi_testing::SdkClient;
namespace kp = kxprotocol;

const std::vector<kp::Message> kOneTargetDataSet = {kp::DataBegin{0, 1},
                                                    kp::Target{1, true, "\\\\a\\b"}, kp::DataEnd{}};

// Connects `client` to `server` and sends the login; returns what the server received.
std::optional<kp::Message> ConnectAndSendLogin(SdkClient& client, FakeServer& server) {
    if (client.Open(server.Port()) != 0 || !server.Accept() || client.Login("op", "pa55") != 0 ||
        !client.PumpUntil([&] { return KXAPI_IsWriting(client.Handle()) == 0; })) {
        return std::nullopt;
    }
    return server.Read();
}

// Brings `client` to a logged-in state with one target (id 1) in its data.
void LogInWithData(SdkClient& client, FakeServer& server) {
    ASSERT_TRUE(ConnectAndSendLogin(client, server).has_value());
    server.Send(kp::LoginResult{});
    server.Send(Encoded(kOneTargetDataSet));
    ASSERT_TRUE(client.WaitForEvent(KXAPI_EVENT_DATA_READY));
}

std::vector<uint8_t> FrameAround(const std::vector<uint8_t>& body) {
    std::vector<uint8_t> frame;
    kp::ByteWriter(frame).U32(static_cast<uint32_t>(body.size()));
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

TEST(SdkFakeServerTest, LoginCarriesTheVersionAndCredentials) {
    FakeServer server;
    SdkClient client;
    const auto login = ConnectAndSendLogin(client, server);
    ASSERT_TRUE(login.has_value());
    ASSERT_TRUE(std::holds_alternative<kp::Login>(*login));
    EXPECT_TRUE(std::get<kp::Login>(*login) == (kp::Login{kp::kVersion, "op", "pa55"}));
    EXPECT_NE(client.Login(), 0) << "a second login on the same connection is refused";
}

// After an accepted login, the server sends `bytes` (and closes if asked). Every row but the
// first breaks the protocol, which must cost the connection and deliver no data event.
TEST(SdkFakeServerTest, ProtocolViolationsDropTheConnection) {
    struct Case {
        const char* name;
        bool loginAccepted;
        std::vector<uint8_t> bytes;
        bool closeAfter;
        bool dropped;
    };
    std::vector<uint8_t> truncated = Encoded({kp::DataBegin{0, 1}, kp::Target{1, true, "\\\\a"}});
    truncated.resize(truncated.size() - 3);
    std::mt19937 random(77);
    std::printf("garbage seed 77\n");
    std::vector<uint8_t> garbage(300);
    for (uint8_t& byte : garbage) {
        byte = static_cast<uint8_t>(random());
    }
    const std::vector<Case> cases = {
        {"valid data set (control)", true, Encoded(kOneTargetDataSet), false, false},
        {"oversized frame", true, {0x00, 0x01, 0x00, 0x00}, false, true},
        {"zero-length frame", true, {0, 0, 0, 0}, false, true},
        {"unknown message type", true, FrameAround({0x42}), false, true},
        {"data before the login result", false, Encoded(kOneTargetDataSet), false, true},
        {"second login result", true, Encoded({kp::LoginResult{}}), false, true},
        {"client message from the server", true, Encoded({kp::Login{1, "u", "p"}}), false, true},
        {"more targets than announced", true,
         Encoded({kp::DataBegin{0, 1}, kp::Target{1, true, "x"}, kp::Target{2, true, "y"}}), false,
         true},
        {"the same target twice", true,
         Encoded({kp::DataBegin{0, 2}, kp::Target{1, true, "x"}, kp::Target{1, true, "y"}}), false,
         true},
        {"data end before the announced records", true,
         Encoded({kp::DataBegin{1, 0}, kp::DataEnd{}}), false, true},
        {"adapter outside a data set", true, Encoded({kp::Adapter{}}), false, true},
        {"truncated frame, then close", true, truncated, true, true},
        {"garbage, then close", true, garbage, true, true},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        FakeServer server;
        SdkClient client;
        ASSERT_TRUE(ConnectAndSendLogin(client, server).has_value());
        if (row.loginAccepted) {
            server.Send(kp::LoginResult{});
            ASSERT_TRUE(client.WaitForEvent(KXAPI_EVENT_LOGIN));
        }
        server.Send(row.bytes);
        if (row.closeAfter) {
            server.Close();
        }
        if (row.dropped) {
            EXPECT_TRUE(client.PumpUntil([&] { return !client.Connected(); }));
            EXPECT_FALSE(client.Failures().empty());
            EXPECT_EQ(client.Count(KXAPI_EVENT_DATA_READY), 0u);
            EXPECT_EQ(KXAPI_GetNumTargets(client.Handle()), 0u);
        } else {
            EXPECT_TRUE(client.WaitForEvent(KXAPI_EVENT_DATA_READY));
            EXPECT_TRUE(client.Connected());
        }
    }
}

// Everything sent before an orderly close is delivered; the close itself fails no call.
TEST(SdkFakeServerTest, CloseBetweenFramesEndsTheConnectionWithoutFailure) {
    FakeServer server;
    SdkClient client;
    ASSERT_TRUE(ConnectAndSendLogin(client, server).has_value());
    std::vector<kp::Message> messages = {kp::LoginResult{}};
    messages.insert(messages.end(), kOneTargetDataSet.begin(), kOneTargetDataSet.end());
    messages.push_back(kp::CloseRequest{});
    server.Send(Encoded(messages));
    server.Close();
    EXPECT_TRUE(client.PumpUntil([&] { return !client.Connected(); }));
    EXPECT_EQ(client.Count(KXAPI_EVENT_DATA_READY), 1u);
    EXPECT_EQ(client.Count(KXAPI_EVENT_CLOSE_REQUEST), 1u);
    EXPECT_TRUE(client.Failures().empty());
}

TEST(SdkFakeServerTest, FramesArrivingByteByByteAreReassembled) {
    FakeServer server;
    SdkClient client;
    ASSERT_TRUE(ConnectAndSendLogin(client, server).has_value());
    std::vector<uint8_t> bytes = Encoded({kp::LoginResult{}});
    const std::vector<uint8_t> data = Encoded(kOneTargetDataSet);
    bytes.insert(bytes.end(), data.begin(), data.end());
    for (const uint8_t byte : bytes) {
        server.Send(std::vector<uint8_t>{byte});
        client.PumpUntil([] { return false; }, std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(client.WaitForEvent(KXAPI_EVENT_DATA_READY));
    EXPECT_EQ(client.Count(KXAPI_EVENT_LOGIN), 1u);
    EXPECT_EQ(client.TargetPath(1), "\\\\a\\b");
    EXPECT_TRUE(client.Failures().empty());
}

// The service keeps a slow data set's connection while its pieces keep coming, so a piece is
// reported when it is whole, once, and never for bytes that make no whole frame.
TEST(SdkFakeServerTest, EachWholeDataFrameDeliversOneProgressEvent) {
    FakeServer server;
    SdkClient client;
    ASSERT_TRUE(ConnectAndSendLogin(client, server).has_value());
    server.Send(kp::LoginResult{});
    ASSERT_TRUE(client.WaitForEvent(KXAPI_EVENT_LOGIN));
    const std::vector<uint8_t> adapter = Encoded({kp::Adapter{"eth0", "", "", "10.0.0.5"}});
    struct Step {
        const char* name;
        std::vector<uint8_t> bytes;
        std::size_t progress;  // progress events delivered so far
    };
    const Step steps[] = {
        {"the data set's start", Encoded({kp::DataBegin{1, 2}}), 1},
        {"one byte of an adapter", {adapter.front()}, 1},
        {"the rest of it", {adapter.begin() + 1, adapter.end()}, 2},
        {"two targets in one write",
         Encoded({kp::Target{1, true, "\\\\a\\b"}, kp::Target{2, false, "\\\\c\\d"}}), 4},
        {"the data set's end", Encoded({kp::DataEnd{}}), 4},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        server.Send(step.bytes);
        // Waits for the count, then a little longer for any event too many.
        client.WaitForEvent(KXAPI_EVENT_DATA_PROGRESS, step.progress, std::chrono::seconds(5));
        client.PumpUntil([] { return false; }, std::chrono::milliseconds(100));
        EXPECT_EQ(client.Count(KXAPI_EVENT_DATA_PROGRESS), step.progress);
    }
    std::vector<int> events;
    for (const auto& seen : client.Events()) {
        events.push_back(seen.event);
    }
    EXPECT_EQ(events, (std::vector<int>{KXAPI_EVENT_LOGIN, KXAPI_EVENT_DATA_PROGRESS,
                                        KXAPI_EVENT_DATA_PROGRESS, KXAPI_EVENT_DATA_PROGRESS,
                                        KXAPI_EVENT_DATA_PROGRESS, KXAPI_EVENT_DATA_READY}));
    EXPECT_TRUE(client.Failures().empty());
}

// The peer has gone; writing to its socket must fail the call and drop the connection rather
// than raise SIGPIPE, which would end this test program.
TEST(SdkFakeServerTest, WritingToAClosedPeerDropsTheConnectionWithoutSignal) {
    FakeServer server;
    SdkClient client;
    LogInWithData(client, server);
    server.Close();
    for (int attempt = 0; attempt < 100 && client.Connected(); ++attempt) {
        if (client.UpdatePath(1, "\\\\c\\d") == 0) {
            KXAPI_Send(client.Handle());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(KXAPI_GetSocket(client.Handle()), -1);
}

TEST(SdkFakeServerTest, PeerClosingDuringALargeWriteDropsTheConnection) {
    FakeServer server(4096);
    SdkClient client;
    LogInWithData(client, server);
    const std::string longPath = "\\\\host\\" + std::string(60000, 'p');
    int queued = 0;
    while (client.UpdatePath(1, longPath) == 0) {
        ASSERT_LT(++queued, 1000) << "the output queue has no bound";
    }
    EXPECT_GT(queued, 100);
    EXPECT_EQ(KXAPI_Send(client.Handle()), 0);
    EXPECT_NE(KXAPI_IsWriting(client.Handle()), 0) << "the peer's small buffer should back up";
    server.Close();  // with unread data: the peer resets the connection
    for (int attempt = 0; attempt < 250 && client.Connected(); ++attempt) {
        KXAPI_Send(client.Handle());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(KXAPI_GetSocket(client.Handle()), -1);
    EXPECT_EQ(KXAPI_IsWriting(client.Handle()), 0);
}

}  // namespace
