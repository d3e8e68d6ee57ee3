// An idle vaultline's CPU time, without and with systemd's notifications; prints figures only.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "bench_fleet.h"
#include "launcher/child_process.h"
#include "launcher/simulator_process.h"
#include "process_stats.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Fleet(int clients) {
    std::vector<launcher::FleetServer> fleet = {bench::BenchTarget("10.0.0.5")};
    for (int client = 0; client < clients; ++client) {
        fleet.push_back(bench::BenchClient(client, {{1, true, "\\\\10.0.0.5\\archive"}}));
    }
    return launcher::FleetXml(fleet);
}

// A datagram socket playing systemd's notification socket; counts what arrives.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("cannot bind the notification socket " + path);
        }
        timeval timeout{0, 100'000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        reader_ = std::thread([this] {
            char buffer[4096];
            while (!stop_) {
                if (recv(fd_, buffer, sizeof buffer, 0) >= 0) {
                    ++messages_;
                }
            }
        });
    }
    ~NotifySocket() {
        stop_ = true;
        reader_.join();
        close(fd_);
    }
    int Messages() const { return messages_; }

private:
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> messages_{0};
    std::thread reader_;
};

// Runs vaultline against the fleet until every client has been checked and closed, then
// measures its CPU time over `seconds`; returns false when the fleet never settled.
bool Measure(const launcher::SimulatorProcess& simulator, int clients, int seconds, bool notify) {
    const launcher::TempDirectory directory;
    std::ostringstream configuration;
    configuration << "<V><ArchiveTarget Address=\"127.0.0.1\" Port=\"" << simulator.Port("target")
                  << "\" Username=\"admin\" Password=\"bench\"/><ArchiveClients "
                     "Username=\"backup\" Password=\"bench\">";
    for (int client = 0; client < clients; ++client) {
        configuration << "<ArchiveClient Address=\"127.0.0.1\" Port=\""
                      << simulator.Port("client" + std::to_string(client)) << "\"/>";
    }
    configuration << "</ArchiveClients></V>";
    directory.WriteFile("vaultline.conf", configuration.str());

    const std::string socketPath = (directory.Path() / "notify").string();
    std::unique_ptr<NotifySocket> notifySocket;
    if (notify) {
        notifySocket = std::make_unique<NotifySocket>(socketPath);
        setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
        setenv("WATCHDOG_USEC", "30000000", 1);
    }
    launcher::ChildProcess service({VAULTLINE_BINARY, "-c"}, directory.Path());
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");

    const bool settled = launcher::WaitUntil(
        [&] {
            std::istringstream log(service.Stderr());
            int closed = 0;
            for (std::string line; std::getline(log, line);) {
                closed += line.find("closing connection to") != std::string::npos;
            }
            return closed >= clients;
        },
        std::chrono::seconds(120));
    if (!settled) {
        std::printf("the fleet did not settle within 120 s\n");
        return false;
    }
    // Let the last closes and the status line go out before measuring.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const int messagesBefore = notifySocket ? notifySocket->Messages() : 0;
    const auto before = bench::ReadUsage(service.Pid());
    const auto started = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto after = bench::ReadUsage(service.Pid());
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("%-34s CPU %.3f %% of one core, %.1f switches/s over %.1f s",
                notify ? "idle, notifying (watchdog 30 s):" : "idle, no NOTIFY_SOCKET:",
                100 * (after.runSeconds - before.runSeconds) / elapsed,
                static_cast<double>(after.contextSwitches - before.contextSwitches) / elapsed,
                elapsed);
    if (notifySocket) {
        std::printf(", %d notifications", notifySocket->Messages() - messagesBefore);
    }
    std::printf("\n");
    service.Signal(SIGTERM);
    service.Wait(std::chrono::seconds(10));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int clients = argc > 1 ? std::atoi(argv[1]) : 100;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 20;
    // Each figure shows as soon as it is measured, also when the output is a file.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("service-idle-benchmark: 1 target, %d clients, %d s per run, loopback\n", clients,
                seconds);
    try {
        launcher::SimulatorProcess simulator(Fleet(clients), std::chrono::seconds(60));
        const bool plain = Measure(simulator, clients, seconds, false);
        const bool notifying = Measure(simulator, clients, seconds, true);
        return plain && notifying ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
