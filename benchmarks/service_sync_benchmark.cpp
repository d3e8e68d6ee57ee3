// vaultline against a large simulated fleet: how long a full round of client rewrites takes, at
// start-up and after the target's address changes, and the service's memory. Prints figures,
// asserts nothing.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "simulator_process.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::string Fleet(int clients, const std::string& targetIp, const std::string& clientHost,
                  const benchmark::SimulatorProcess* running) {
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
double WaitForUpdates(const benchmark::SimulatorProcess& simulator, int expected,
                      Clock::time_point since) {
    const auto deadline = since + std::chrono::seconds(120);
    while (Clock::now() < deadline) {
        if (CountLines(simulator.Stdout(), "result=applied") >= expected) {
            return std::chrono::duration<double>(Clock::now() - since).count();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

long MemoryKib(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::atol(line.c_str() + field.size() + 1);
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    const int clients = argc > 1 ? std::atoi(argv[1]) : 500;
    std::printf("service-sync-benchmark: 1 target, %d clients, loopback\n", clients);

    benchmark::SimulatorProcess simulator(Fleet(clients, "10.0.0.5", "nas01", nullptr));
    if (!simulator.WaitReady(60)) {
        std::fprintf(stderr, "simulator did not start:\n%s\n", simulator.Stderr().c_str());
        return 1;
    }

    char directory[] = "/tmp/vaultline-bench-XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        return 1;
    }
    {
        std::ofstream configuration(std::string(directory) + "/vaultline.conf");
        configuration << "<V><ArchiveTarget Address=\"127.0.0.1\" Port=\""
                      << simulator.Port("target")
                      << "\" Username=\"admin\" Password=\"bench\"/><ArchiveClients "
                         "Username=\"backup\" Password=\"bench\">";
        for (int client = 0; client < clients; ++client) {
            configuration << "<ArchiveClient Address=\"127.0.0.1\" Port=\""
                          << simulator.Port("client" + std::to_string(client)) << "\"/>";
        }
        configuration << "</ArchiveClients></V>";
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, directory);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const char* const arguments[] = {VAULTLINE_BINARY, "-c", nullptr};
    pid_t service = -1;
    const auto started = Clock::now();
    if (posix_spawn(&service, VAULTLINE_BINARY, &actions, nullptr,
                    const_cast<char* const*>(arguments), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", VAULTLINE_BINARY);
        return 1;
    }
    posix_spawn_file_actions_destroy(&actions);

    const double firstRound = WaitForUpdates(simulator, clients, started);
    std::printf("start to every client rewritten:        %.2f s\n", firstRound);

    const auto changed = Clock::now();
    simulator.Reload(Fleet(clients, "10.0.0.77", "10.0.0.5", &simulator));
    const double secondRound = WaitForUpdates(simulator, 2 * clients, changed);
    std::printf("address change to every client rewritten: %.2f s\n", secondRound);
    std::printf("vaultline memory: VmRSS %ld KiB, VmHWM %ld KiB\n", MemoryKib(service, "VmRSS"),
                MemoryKib(service, "VmHWM"));

    kill(service, SIGTERM);
    int status = 0;
    waitpid(service, &status, 0);
    std::printf("vaultline exit status: %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    std::system((std::string("rm -rf ") + directory).c_str());
    return firstRound < 0 || secondRound < 0 ? 1 : 0;
}
