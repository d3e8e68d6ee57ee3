// sdk-fleet-benchmark: one SDK handle per simulated server, all in one poll loop; prints figures.
#include <poll.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "launcher/simulator_process.h"
#include "sdk/kxapi.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Client {
    std::string server;
    void* handle = nullptr;
    int logins = 0;
    int dataSets = 0;
    int closeRequests = 0;
};

int CountEvent(int event, long result, tagPayloadType*, unsigned long, void* client) {
    auto* counts = static_cast<Client*>(client);
    counts->logins += event == KXAPI_EVENT_LOGIN && result == 0;
    counts->dataSets += event == KXAPI_EVENT_DATA_READY;
    counts->closeRequests += event == KXAPI_EVENT_CLOSE_REQUEST;
    return 0;
}

std::string Fleet(int servers, const std::string& pathPrefix) {
    std::vector<launcher::FleetServer> fleet;
    for (int index = 0; index < servers; ++index) {
        launcher::FleetServer server;
        server.name = "server" + std::to_string(index);
        server.knobs["closeAfterUpdate"] = "true";
        server.adapters = {{"eth0", "NIC", "00:11:22:33:44:55", "10.0.0.5"}};
        server.targets = {{1, true, pathPrefix + server.name}, {2, false, "\\\\10.0.0.9\\spare"}};
        fleet.push_back(server);
    }
    return launcher::FleetXml(fleet);
}

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Pumps every client until `done` holds; false after `timeoutSeconds`.
bool PumpAll(std::vector<Client>& clients, const std::function<bool()>& done, int timeoutSeconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    std::vector<pollfd> ready;
    std::vector<Client*> owners;
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        ready.clear();
        owners.clear();
        for (Client& client : clients) {
            const int fd = KXAPI_GetSocket(client.handle);
            if (fd >= 0) {
                const short out = KXAPI_IsWriting(client.handle) ? POLLOUT : 0;
                ready.push_back({fd, static_cast<short>(POLLIN | out), 0});
                owners.push_back(&client);
            }
        }
        if (poll(ready.data(), ready.size(), 50) < 0) {
            return false;
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
    return true;
}

bool All(const std::vector<Client>& clients, int Client::*counter, int atLeast) {
    for (const Client& client : clients) {
        if (client.*counter < atLeast) {
            return false;
        }
    }
    return true;
}

int Connected(const std::vector<Client>& clients) {
    int connected = 0;
    for (const Client& client : clients) {
        connected += KXAPI_GetSocket(client.handle) >= 0;
    }
    return connected;
}

}  // namespace

int main(int argc, char** argv) {
    const int servers = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (servers <= 0 || servers > 10000) {
        std::fprintf(stderr, "usage: sdk-fleet-benchmark [servers, 1..10000, default 2000]\n");
        return 1;
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    std::printf("servers                      %d\n", servers);
    auto start = Clock::now();
    std::unique_ptr<launcher::SimulatorProcess> started;
    try {
        started = std::make_unique<launcher::SimulatorProcess>(Fleet(servers, "\\\\10.0.0.9\\"),
                                                               std::chrono::seconds(120));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    launcher::SimulatorProcess& simulator = *started;
    std::printf("simulator start to ready     %.0f ms\n", MillisecondsSince(start));
    std::printf("simulator RSS idle           %.1f MiB\n",
                simulator.Process().MemoryKib("VmRSS") / 1024.0);

    std::vector<Client> clients(static_cast<std::size_t>(servers));
    start = Clock::now();
    for (int index = 0; index < servers; ++index) {
        Client& client = clients[static_cast<std::size_t>(index)];
        client.server = "server" + std::to_string(index);
        client.handle = KXAPI_Init();
        KXAPI_SetNonBlocking(client.handle, 1);
        KXAPI_SetCallbackEx(client.handle, CountEvent, &client);
        const auto port = static_cast<unsigned short>(simulator.Port(client.server));
        if (KXAPI_Open(client.handle, "127.0.0.1", port) != 0 ||
            KXAPI_Login(client.handle, "admin", "secret") != 0) {
            std::fprintf(stderr, "cannot open %s\n", client.server.c_str());
            return 1;
        }
    }
    std::printf("open and queue logins        %.0f ms\n", MillisecondsSince(start));
    const bool loggedIn = PumpAll(
        clients, [&] { return All(clients, &Client::logins, 1); }, 120);
    std::printf("all logged in                %.0f ms%s\n", MillisecondsSince(start),
                loggedIn ? "" : " (timed out)");
    const bool loaded = PumpAll(
        clients, [&] { return All(clients, &Client::dataSets, 1); }, 120);
    std::printf("all data ready               %.0f ms%s\n", MillisecondsSince(start),
                loaded ? "" : " (timed out)");
    std::printf("simulator RSS, all sessions  %.1f MiB (peak %.1f MiB)\n",
                simulator.Process().MemoryKib("VmRSS") / 1024.0,
                simulator.Process().MemoryKib("VmHWM") / 1024.0);

    start = Clock::now();
    simulator.ReloadXml(Fleet(servers, "\\\\10.0.0.10\\"));
    const bool pushed = PumpAll(
        clients, [&] { return All(clients, &Client::dataSets, 2); }, 120);
    std::printf("reload pushed to all         %.0f ms%s\n", MillisecondsSince(start),
                pushed ? "" : " (timed out)");

    start = Clock::now();
    for (Client& client : clients) {
        TargetInfo info{};
        info.size = sizeof info;
        info.extension.size = sizeof info.extension;
        char path[] = "\\\\10.0.0.5\\archive";
        info.path = path;
        info.pathLength = sizeof path;
        KXAPI_UpdateTargetEx(client.handle, 1, nullptr, nullptr, &info);
    }
    const bool updated = PumpAll(
        clients, [&] { return All(clients, &Client::closeRequests, 1); }, 120);
    std::printf("all updates acknowledged     %.0f ms%s\n", MillisecondsSince(start),
                updated ? "" : " (timed out)");
    std::printf("connections still up         %d\n", Connected(clients));

    start = Clock::now();
    for (Client& client : clients) {
        KXAPI_Cleanup(client.handle);
    }
    const int status = simulator.Stop();
    std::printf("close all and stop simulator %.0f ms (exit status %d)\n", MillisecondsSince(start),
                status);
    return loggedIn && loaded && pushed && updated && status == 0 ? 0 : 1;
}
