// Host names looked up while the caller goes on, behind a resolver stand-in that is slow or never
// answers: the descriptor a pending lookup gives, and bounded work under a flood of opens.
#include <dirent.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fake_server.h"
#include "sdk/kxapi.h"
#include "sdk_test_client.h"
#include "support/child_process.h"

namespace {

using kxapi_testing::FakeServer;
using kxapi_testing::SdkClient;
namespace kp = kxprotocol;

bool IsSocket(int fd) {
    int type = 0;
    socklen_t length = sizeof type;
    return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0;
}

std::size_t EntriesIn(const char* folder) {
    std::size_t count = 0;
    if (DIR* directory = opendir(folder)) {
        while (readdir(directory) != nullptr) {
            ++count;
        }
        closedir(directory);
    }
    return count;
}

std::size_t Threads() {
    return EntriesIn("/proc/self/task");
}

std::size_t Descriptors() {
    return EntriesIn("/proc/self/fd");
}

TEST(SdkLookupTest, PendingLookupGivesADescriptorThatLeadsToTheConnection) {
    FakeServer server;
    SdkClient client;
    ASSERT_EQ(client.Open(server.Port(), "server.loopback.test"), 0);
    const int pending = KXAPI_GetSocket(client.Handle());
    ASSERT_GE(pending, 0);
    EXPECT_FALSE(IsSocket(pending));
    EXPECT_EQ(client.Login("op", "pa55"), 0);
    // An eventfd is always writable: watched for writing, it would wake every pass.
    EXPECT_EQ(KXAPI_IsWriting(client.Handle()), 0);
    EXPECT_EQ(KXAPI_Send(client.Handle()), 0);

    // Readable once answered; the receive call then connects, and the queued login goes out.
    ASSERT_TRUE(client.PumpUntil([&] {
        return IsSocket(KXAPI_GetSocket(client.Handle())) && KXAPI_IsWriting(client.Handle()) == 0;
    }));
    ASSERT_TRUE(server.Accept());
    const auto login = server.Read();
    ASSERT_TRUE(login.has_value());
    EXPECT_TRUE(std::get<kp::Login>(*login) == (kp::Login{kp::kVersion, "op", "pa55"}));
    EXPECT_TRUE(client.Failures().empty());
}

// Every lookup here takes the stand-in's full delay. A thread per lookup would pile up thousands
// of threads; descriptors of abandoned lookups would pile up too.
TEST(SdkLookupTest, FloodOfOpensAndClosesOnSlowNamesAddsNoThreadsOrDescriptors) {
    constexpr int kHandles = 8;
    constexpr int kRounds = 500;
    const std::size_t threadsBefore = Threads();
    const std::size_t descriptorsBefore = Descriptors();
    std::size_t mostThreads = threadsBefore;
    {
        std::vector<std::unique_ptr<SdkClient>> clients;
        for (int i = 0; i < kHandles; ++i) {
            clients.push_back(std::make_unique<SdkClient>());
        }
        for (int round = 0; round < kRounds; ++round) {
            for (int i = 0; i < kHandles; ++i) {
                void* const handle = clients[i]->Handle();
                const std::string name = "h" + std::to_string(i) + "-" + std::to_string(round);
                ASSERT_EQ(KXAPI_Open(handle, (name + ".slow.test").c_str(), 4000), 0);
                ASSERT_EQ(KXAPI_Open(handle, (name + "b.slow.test").c_str(), 4000), 0);
                if (round + 1 < kRounds) {
                    EXPECT_EQ(KXAPI_Close(handle), 0);
                }
            }
            mostThreads = std::max(mostThreads, Threads());
        }
        EXPECT_EQ(Descriptors(), descriptorsBefore + kHandles) << "one per pending lookup";
    }  // cleaned up with a lookup still pending on every handle
    EXPECT_EQ(Descriptors(), descriptorsBefore);
    // Four serve at most. Under load, threads that have just left the pool may still be listed
    // while their successors start (7 seen on a busy machine), so the count is held to twice the
    // pool: far below the thousands a thread per lookup would reach.
    EXPECT_LE(mostThreads - threadsBefore, 8u);
    // The threads end once the resolver has answered what they were asking.
    EXPECT_TRUE(testing_support::WaitUntil([&] { return Threads() == threadsBefore; },
                                           std::chrono::seconds(20)));
}

}  // namespace
