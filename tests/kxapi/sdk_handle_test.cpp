// SDK entry points on null, never-opened and unreachable handles, and the exported symbols.
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "sdk/kxapi.h"
#include "sdk_test_client.h"

namespace {

using kxapi_testing::EmptyNetworkAdapter;
using kxapi_testing::EmptyTargetInfo;
using kxapi_testing::SdkClient;

// Every call that needs a connection or data fails, and none crashes, on `handle`.
void ExpectEveryCallFails(void* handle) {
    NetworkInfo info{sizeof(NetworkInfo), {}, 0, {}};
    NetworkAdapter adapter = EmptyNetworkAdapter();
    TargetInfo target = EmptyTargetInfo();
    char path[] = "\\\\host\\share";
    target.path = path;
    target.pathLength = sizeof path;

    EXPECT_NE(KXAPI_Login(handle, "admin", "secret"), 0);
    EXPECT_EQ(KXAPI_GetSocket(handle), -1);
    EXPECT_EQ(KXAPI_IsWriting(handle), 0);
    EXPECT_NE(KXAPI_Recv(handle), 0);
    EXPECT_NE(KXAPI_Send(handle), 0);
    EXPECT_NE(KXAPI_Close(handle), 0);
    EXPECT_NE(KXAPI_GetNetworkInfo(handle, &info), 0);
    EXPECT_NE(KXAPI_GetNetworkAdapter(handle, 0, &adapter), 0);
    EXPECT_EQ(KXAPI_GetNumTargets(handle), 0u);
    EXPECT_EQ(KXAPI_GetTargetId(handle, 0), -1);
    EXPECT_LT(KXAPI_GetTargetInfo(handle, 1, &target), 0);
    EXPECT_LT(KXAPI_UpdateTargetEx(handle, 1, nullptr, nullptr, &target), 0);
}

TEST(SdkHandleTest, NullHandleFailsEverywhere) {
    ExpectEveryCallFails(nullptr);
    EXPECT_NE(KXAPI_SetNonBlocking(nullptr, 1), 0);
    EXPECT_NE(KXAPI_SetCallbackEx(nullptr, nullptr, nullptr), 0);
    EXPECT_NE(KXAPI_Open(nullptr, "127.0.0.1", 1), 0);
    KXAPI_Cleanup(nullptr);
}

TEST(SdkHandleTest, NeverOpenedHandleFailsEverywhereButConfiguration) {
    void* handle = KXAPI_Init();
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(KXAPI_SetNonBlocking(handle, 1), 0);
    EXPECT_EQ(KXAPI_SetCallbackEx(handle, nullptr, nullptr), 0);
    ExpectEveryCallFails(handle);
    KXAPI_Cleanup(handle);
}

TEST(SdkHandleTest, BlockingModeIsRefused) {
    SdkClient client;
    EXPECT_NE(KXAPI_SetNonBlocking(client.Handle(), 0), 0);
}

// No address fails at once; anything else is a name, looked up while the caller goes on, whose
// failure ends the connection like a refused connect.
TEST(SdkHandleTest, AddressesThatCannotWorkEndTheConnection) {
    SdkClient client;
    EXPECT_NE(KXAPI_Open(client.Handle(), "", 4000), 0);
    EXPECT_EQ(KXAPI_GetSocket(client.Handle()), -1);
    EXPECT_NE(KXAPI_Open(client.Handle(), nullptr, 4000), 0);
    for (const char* address : {"not an address", "host.invalid", "127.0.0.1.5"}) {
        ASSERT_EQ(KXAPI_Open(client.Handle(), address, 4000), 0) << address;
        EXPECT_GE(KXAPI_GetSocket(client.Handle()), 0) << address;
        EXPECT_TRUE(client.PumpUntil([&] { return !client.Connected(); }, std::chrono::seconds(60)))
            << address;
        EXPECT_FALSE(client.Failures().empty()) << address;
    }
}

// A refused connect may fail inside Open or later; either way the socket ends up gone and a
// login queued meanwhile is not kept for the next connection.
TEST(SdkHandleTest, RefusedConnectEndsTheConnection) {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), length), 0);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    const unsigned closedPort = ntohs(address.sin_port);  // bound, never listening
    SdkClient client;
    if (client.Open(closedPort) == 0) {
        EXPECT_EQ(client.Login(), 0);
        EXPECT_NE(KXAPI_IsWriting(client.Handle()), 0);
        EXPECT_TRUE(client.PumpUntil([&] { return !client.Connected(); }));
        EXPECT_FALSE(client.Failures().empty());
    }
    EXPECT_EQ(KXAPI_GetSocket(client.Handle()), -1);
    EXPECT_EQ(KXAPI_IsWriting(client.Handle()), 0);
    close(probe);
}

TEST(SdkHandleTest, LibraryExportsEveryEntryPoint) {
    void* library = dlopen(KXAPI_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const char* name :
         {"KXAPI_Init", "KXAPI_Cleanup", "KXAPI_SetNonBlocking", "KXAPI_SetCallbackEx",
          "KXAPI_Open", "KXAPI_Login", "KXAPI_Close", "KXAPI_GetSocket", "KXAPI_IsWriting",
          "KXAPI_Recv", "KXAPI_Send", "KXAPI_GetNetworkInfo", "KXAPI_GetNetworkAdapter",
          "KXAPI_GetNumTargets", "KXAPI_GetTargetId", "KXAPI_GetTargetInfo",
          "KXAPI_UpdateTargetEx"}) {
        EXPECT_NE(dlsym(library, name), nullptr) << name;
    }
    EXPECT_EQ(dlsym(library, "_ZN10kxprotocol11DecodeFrameEPKhm"), nullptr)
        << "internals must stay hidden";
    dlclose(library);
}

}  // namespace
