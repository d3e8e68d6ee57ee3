// The whole path by hand: three SDK handles in one poll loop against the simulator, from login
// through data and updates to the close request, checked in the simulator's state file.
#include <poll.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sdk/kxapi.h"
#include "support/simulator_harness.h"

namespace {

using testing_support::FleetServer;
using testing_support::Simulator;

struct Peer {
    std::string server;
    void* handle = nullptr;
    std::vector<int> events;
};

int RecordEvent(int event, long result, tagPayloadType*, unsigned long, void* peer) {
    static_cast<Peer*>(peer)->events.push_back(result == 0 ? event : -event);
    return 0;
}

bool Saw(const Peer& peer, int event) {
    for (int seen : peer.events) {
        if (seen == event) {
            return true;
        }
    }
    return false;
}

// One poll over every connected handle at a time until `done` or a generous deadline.
bool PollUntil(std::vector<Peer>& peers, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> ready;
        std::vector<Peer*> owners;
        for (Peer& peer : peers) {
            const int fd = KXAPI_GetSocket(peer.handle);
            if (fd >= 0) {
                const short writing = KXAPI_IsWriting(peer.handle) ? POLLOUT : 0;
                ready.push_back({fd, static_cast<short>(POLLIN | writing), 0});
                owners.push_back(&peer);
            }
        }
        if (ready.empty() || poll(ready.data(), ready.size(), 20) < 0) {
            break;
        }
        for (std::size_t index = 0; index < ready.size(); ++index) {
            if (ready[index].revents & (POLLOUT | POLLERR | POLLHUP)) {
                KXAPI_Send(owners[index]->handle);
            }
            if (ready[index].revents & (POLLIN | POLLERR | POLLHUP)) {
                KXAPI_Recv(owners[index]->handle);
            }
        }
    }
    return done();
}

std::string AdapterIp(void* handle, uint64_t index) {
    NetworkAdapter adapter{};
    adapter.size = sizeof adapter;
    if (KXAPI_GetNetworkAdapter(handle, index, &adapter) != 0) {
        return {};
    }
    std::vector<char> name(adapter.nameLength), description(adapter.descriptionLength),
        mac(adapter.macLength), ip(adapter.ipLength);
    adapter.name = name.data();
    adapter.description = description.data();
    adapter.mac = mac.data();
    adapter.ip = ip.data();
    return KXAPI_GetNetworkAdapter(handle, index, &adapter) == 0 ? std::string(ip.data()) : "";
}

TEST(EndToEndTest, ClientsAreRepointedAtTheTargetAndTheStateFileShowsIt) {
    FleetServer target;
    target.name = "target";
    target.adapters = {{"eth0", "Onboard NIC", "00:11:22:33:44:55", "10.0.0.5", true, true}};
    target.targets = {{1, true, "\\\\10.0.0.5\\archive"}};
    std::vector<FleetServer> fleet = {target};
    for (const char* name : {"client1", "client2"}) {
        FleetServer client;
        client.name = name;
        client.adapters = {{"eth0", "NIC", "00:11:22:33:44:77", "10.0.0.21", true, false}};
        client.targets = {{1, true, "\\\\10.0.0.9\\archive"}, {2, false, "\\\\10.0.0.9\\old"}};
        fleet.push_back(client);
    }
    Simulator simulator(fleet);

    std::vector<Peer> peers(3);
    peers[0].server = "target";
    peers[1].server = "client1";
    peers[2].server = "client2";
    for (Peer& peer : peers) {
        peer.handle = KXAPI_Init();
        ASSERT_NE(peer.handle, nullptr);
        ASSERT_EQ(KXAPI_SetNonBlocking(peer.handle, 1), 0);
        ASSERT_EQ(KXAPI_SetCallbackEx(peer.handle, RecordEvent, &peer), 0);
        ASSERT_EQ(KXAPI_Open(peer.handle, "127.0.0.1",
                             static_cast<unsigned short>(simulator.Port(peer.server))),
                  0);
        ASSERT_EQ(KXAPI_Login(peer.handle, "admin", "secret"), 0);
    }
    ASSERT_TRUE(PollUntil(peers, [&] {
        for (const Peer& peer : peers) {
            if (!Saw(peer, KXAPI_EVENT_DATA_READY)) {
                return false;
            }
        }
        return true;
    }));
    for (const Peer& peer : peers) {
        EXPECT_EQ(peer.events.front(), KXAPI_EVENT_LOGIN) << peer.server;
    }

    const std::string ip = AdapterIp(peers[0].handle, 0);
    ASSERT_EQ(ip, "10.0.0.5");
    const std::string newPath = "\\\\" + ip + "\\archive";
    for (Peer* client : {&peers[1], &peers[2]}) {
        ASSERT_EQ(KXAPI_GetNumTargets(client->handle), 2u);
        const int id = KXAPI_GetTargetId(client->handle, 0);
        TargetInfo info{};
        info.size = sizeof info;
        info.extension.size = sizeof info.extension;
        std::string path = newPath;
        info.path = path.data();
        info.pathLength = path.size() + 1;
        ASSERT_EQ(KXAPI_UpdateTargetEx(client->handle, id, nullptr, nullptr, &info), 0);
    }
    ASSERT_TRUE(PollUntil(peers, [&] {
        return Saw(peers[1], KXAPI_EVENT_CLOSE_REQUEST) && Saw(peers[2], KXAPI_EVENT_CLOSE_REQUEST);
    }));
    EXPECT_FALSE(Saw(peers[0], KXAPI_EVENT_CLOSE_REQUEST));

    for (Peer& peer : peers) {
        EXPECT_EQ(KXAPI_Close(peer.handle), 0);
        EXPECT_EQ(KXAPI_GetSocket(peer.handle), -1);
        KXAPI_Cleanup(peer.handle);
    }
    EXPECT_EQ(simulator.TargetPath("client1", 1), newPath);
    EXPECT_EQ(simulator.TargetPath("client2", 1), newPath);
    EXPECT_EQ(simulator.TargetPath("client1", 2), "\\\\10.0.0.9\\old");
    EXPECT_EQ(simulator.TargetPath("target", 1), "\\\\10.0.0.5\\archive");
    EXPECT_TRUE(
        simulator.Process().WaitForStdout("disconnect name=client2", std::chrono::seconds(5)));
}

}  // namespace

// Replies are held until the state file has the updates applied before them, so whoever sees an
// acknowledgement finds the update already saved. Many updates at once make the simulator apply
// several per wakeup, and a large state file makes each save slow, so a reply sent before the
// save would be caught here.
TEST(EndToEndTest, AnAcknowledgedUpdateIsAlreadyInTheStateFile) {
    constexpr int kClients = 200;
    FleetServer ballast;
    ballast.name = "ballast";
    for (int id = 1; id <= 4000; ++id) {
        ballast.targets.push_back({id, true, "\\\\10.0.0.9\\" + std::string(200, 'b')});
    }
    std::vector<FleetServer> fleet = {ballast};
    for (int index = 0; index < kClients; ++index) {
        FleetServer client;
        client.name = "client" + std::to_string(index);
        client.targets = {{1, true, "\\\\10.0.0.9\\archive"}};
        fleet.push_back(client);
    }
    Simulator simulator(fleet);

    std::vector<Peer> peers(kClients);
    for (int index = 0; index < kClients; ++index) {
        Peer& peer = peers[static_cast<std::size_t>(index)];
        peer.server = fleet[static_cast<std::size_t>(index) + 1].name;
        peer.handle = KXAPI_Init();
        ASSERT_EQ(KXAPI_SetNonBlocking(peer.handle, 1), 0);
        ASSERT_EQ(KXAPI_SetCallbackEx(peer.handle, RecordEvent, &peer), 0);
        ASSERT_EQ(KXAPI_Open(peer.handle, "127.0.0.1",
                             static_cast<unsigned short>(simulator.Port(peer.server))),
                  0);
        ASSERT_EQ(KXAPI_Login(peer.handle, "admin", "secret"), 0);
    }
    ASSERT_TRUE(PollUntil(peers, [&] {
        for (const Peer& peer : peers) {
            if (!Saw(peer, KXAPI_EVENT_DATA_READY)) {
                return false;
            }
        }
        return true;
    }));

    const auto newPath = [](const Peer& peer) { return "\\\\10.0.0.5\\" + peer.server; };
    for (Peer& peer : peers) {
        std::string path = newPath(peer);
        TargetInfo info{};
        info.size = sizeof info;
        info.extension.size = sizeof info.extension;
        info.path = path.data();
        info.pathLength = path.size() + 1;
        ASSERT_EQ(KXAPI_UpdateTargetEx(peer.handle, 1, nullptr, nullptr, &info), 0);
    }
    std::vector<bool> checked(peers.size(), false);
    std::size_t unsaved = 0;
    std::size_t remaining = peers.size();
    // Checks each client as soon as a poll round delivers its acknowledgement.
    ASSERT_TRUE(PollUntil(peers, [&] {
        for (std::size_t index = 0; index < peers.size(); ++index) {
            if (!checked[index] && Saw(peers[index], KXAPI_EVENT_CLOSE_REQUEST)) {
                checked[index] = true;
                --remaining;
                unsaved += simulator.TargetPath(peers[index].server, 1) != newPath(peers[index]);
            }
        }
        return remaining == 0;
    }));
    EXPECT_EQ(unsaved, 0u);
    for (Peer& peer : peers) {
        KXAPI_Cleanup(peer.handle);
    }
}
