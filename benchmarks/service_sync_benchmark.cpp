// vaultline against a large simulated fleet: how long a full round of client rewrites takes, at
// start-up and after the target's address changes, and the service's memory. Prints figures,
// asserts nothing.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "launcher/child_process.h"
#include "launcher/simulator_process.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Fleet(int clients, const std::string& targetIp, const std::string& clientHost,
                  const launcher::SimulatorProcess* running) {
    std::ostringstream xml;
    const auto port = [&](const std::string& name) {
        return running != nullptr ? running->Port(name) : 0u;
    };
    xml << "<Fleet>\n<Server name=\"target\" port=\"" << port("target")
        << "\" username=\"admin\" password=\"bench\">"
        << "<Adapter name=\"eth0\" description=\"nic\" mac=\"52:54:00:00:00:01\" ip=\"" << targetIp
        << "\" connected=\"true\" dhcp=\"true\"/></Server>\n";
    for (int client = 0; client < clients; ++client) {
        const std::string name = "client" + std::to_string(client);
        xml << "<Server name=\"" << name << "\" port=\"" << port(name)
            << "\" username=\"backup\" password=\"bench\"><Target id=\"1\" enabled=\"true\" "
               "path=\"\\\\"
            << clientHost << "\\archive\\" << client << "\"/></Server>\n";
    }
    xml << "</Fleet>\n";
    return xml.str();
}

int CountLines(const std::string& text, const std::string& piece) {
    int count = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

// Waits until the simulator has applied `expected` updates in all; seconds taken, or -1.
double WaitForUpdates(const launcher::SimulatorProcess& simulator, int expected,
                      Clock::time_point since) {
    const auto deadline = since + std::chrono::seconds(120);
    while (Clock::now() < deadline) {
        if (CountLines(simulator.Process().Stdout(), "result=applied") >= expected) {
            return std::chrono::duration<double>(Clock::now() - since).count();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

int Run(int clients) {
    std::printf("service-sync-benchmark: 1 target, %d clients, loopback\n", clients);

    launcher::SimulatorProcess simulator(Fleet(clients, "10.0.0.5", "nas01", nullptr),
                                         std::chrono::seconds(60));

    const launcher::TempDirectory directory;
    {
        std::ostringstream configuration;
        configuration << "<V><ArchiveTarget Address=\"127.0.0.1\" Port=\""
                      << simulator.Port("target")
                      << "\" Username=\"admin\" Password=\"bench\"/><ArchiveClients "
                         "Username=\"backup\" Password=\"bench\">";
        for (int client = 0; client < clients; ++client) {
            configuration << "<ArchiveClient Address=\"127.0.0.1\" Port=\""
                          << simulator.Port("client" + std::to_string(client)) << "\"/>";
        }
        configuration << "</ArchiveClients></V>";
        directory.WriteFile("vaultline.conf", configuration.str());
    }

    const auto started = Clock::now();
    launcher::ChildProcess service({VAULTLINE_BINARY, "-c"}, directory.Path());

    const double firstRound = WaitForUpdates(simulator, clients, started);
    std::printf("start to every client rewritten:        %.2f s\n", firstRound);

    const auto changed = Clock::now();
    simulator.ReloadXml(Fleet(clients, "10.0.0.77", "10.0.0.5", &simulator));
    const double secondRound = WaitForUpdates(simulator, 2 * clients, changed);
    std::printf("address change to every client rewritten: %.2f s\n", secondRound);
    std::printf("vaultline memory: VmRSS %ld KiB, VmHWM %ld KiB\n", service.MemoryKib("VmRSS"),
                service.MemoryKib("VmHWM"));

    service.Signal(SIGTERM);
    std::printf("vaultline exit status: %d\n", service.Wait(std::chrono::seconds(10)).value_or(-1));
    return firstRound < 0 || secondRound < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int clients = argc > 1 ? std::atoi(argv[1]) : 500;
    try {
        return Run(clients);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
