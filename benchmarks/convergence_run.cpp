// One fleet size measured by vaultline-bench: the service's convergence at start-up and after
// address changes, the drivers' on the same changes, its CPU, memory and idle cost.
#include "convergence_run.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_fleet.h"
#include "launcher/child_process.h"
#include "launcher/simulator_process.h"
#include "process_stats.h"
#include "sdk_drivers.h"
#include "simulator_events.h"

namespace bench {

namespace {

using launcher::ChildProcess;
using launcher::FleetServer;
using launcher::SimulatorProcess;

std::string Address(int round) {
    return "10.0." + std::to_string(1 + round / 200) + "." + std::to_string(1 + round % 200);
}

// The bench fleet: the target with one DHCP adapter at `targetAddress`, and `clients` clients
// each with an enabled path naming `clientHost` and a disabled one naming another host.
std::vector<FleetServer> Fleet(int clients, const std::string& targetAddress,
                               const std::string& clientHost) {
    std::vector<FleetServer> fleet = {BenchTarget(targetAddress)};
    for (int index = 0; index < clients; ++index) {
        fleet.push_back(BenchClient(
            index, {{1, true, "\\\\" + clientHost + "\\archive\\" + std::to_string(index)},
                    {2, false, "\\\\old-nas\\spare"}}));
    }
    return fleet;
}

std::string ServiceConfiguration(const SimulatorProcess& simulator, int clients) {
    std::ostringstream xml;
    xml << "<Vaultline><ArchiveTarget Address=\"127.0.0.1\" Port=\"" << simulator.Port("target")
        << "\" Username=\"" << kTargetLogin.username << "\" Password=\"" << kTargetLogin.password
        << "\"/><ArchiveClients Username=\"" << kClientLogin.username << "\" Password=\""
        << kClientLogin.password << "\">";
    for (int index = 0; index < clients; ++index) {
        xml << "<ArchiveClient Address=\"127.0.0.1\" Port=\""
            << simulator.Port("client" + std::to_string(index)) << "\"/>";
    }
    xml << "</ArchiveClients></Vaultline>\n";
    return xml.str();
}

double Median(std::vector<double> values) {
    values.erase(std::remove(values.begin(), values.end(), -1.0), values.end());
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

class Service {
public:
    Service(const launcher::TempDirectory& directory) : directory_(directory) {}
    void Start() {
        process_ = std::make_unique<ChildProcess>(std::vector<std::string>{VAULTLINE_BINARY, "-c"},
                                                  directory_.Path());
    }
    void Stop() {
        if (process_) {
            process_->Signal(SIGTERM);
            process_->Wait(std::chrono::seconds(20));
            process_.reset();
        }
    }
    pid_t Pid() const { return process_->Pid(); }

private:
    const launcher::TempDirectory& directory_;
    std::unique_ptr<ChildProcess> process_;
};

std::string SelfPath() {
    std::vector<char> path(4096);
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    return length > 0 ? std::string(path.data(), static_cast<std::size_t>(length)) : "";
}

// CPU as % of one core and context switches per second of both processes over `seconds`.
IdleFigures MeasureIdle(pid_t service, int seconds) {
    ChildProcess bare({SelfPath(), "--bare-loop"});
    std::this_thread::sleep_for(std::chrono::seconds(1));  // both settle
    const auto serviceBefore = ReadUsage(service);
    const auto bareBefore = ReadUsage(bare.Pid());
    const double start = MonotonicNow();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto serviceAfter = ReadUsage(service);
    const auto bareAfter = ReadUsage(bare.Pid());
    const double elapsed = MonotonicNow() - start;
    IdleFigures idle;
    idle.servicePercent = 100 * (serviceAfter.runSeconds - serviceBefore.runSeconds) / elapsed;
    idle.serviceSwitches =
        static_cast<double>(serviceAfter.contextSwitches - serviceBefore.contextSwitches) / elapsed;
    idle.barePercent = 100 * (bareAfter.runSeconds - bareBefore.runSeconds) / elapsed;
    idle.bareSwitches =
        static_cast<double>(bareAfter.contextSwitches - bareBefore.contextSwitches) / elapsed;
    bare.Signal(SIGKILL);
    return idle;
}

}  // namespace

void Progress(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
}

SizeFigures MeasureSize(int clients, int rounds, bool idle, int idleSeconds) {
    SizeFigures figures;
    figures.clients = clients;
    figures.rounds = rounds;
    int addressRound = 0;
    std::string targetAddress = Address(addressRound);
    SimulatorProcess simulator(launcher::FleetXml(Fleet(clients, targetAddress, "nas01")),
                               std::chrono::seconds(120), {"--timestamps"});
    EventReader reader(simulator.Process().StdoutPath());
    reader.Next();  // start-up lines
    // Rewrites the fleet file and signals, without waiting: the round's own timestamps start
    // within the reload, and the drivers must be listening by then.
    const auto reload = [&](const std::string& clientHost) {
        std::vector<FleetServer> fleet = Fleet(clients, targetAddress, clientHost);
        for (FleetServer& server : fleet) {
            server.port = simulator.Port(server.name);
        }
        std::ofstream(simulator.FleetPath(), std::ios::trunc) << launcher::FleetXml(fleet);
        simulator.Process().Signal(SIGHUP);
    };

    launcher::TempDirectory directory;
    directory.WriteFile("vaultline.conf", ServiceConfiguration(simulator, clients));
    Service service(directory);

    // Start-up: every client stale, the service started afresh each round.
    std::vector<double> startups;
    std::vector<double> fromSpawn;
    for (int round = 0; round < rounds; ++round) {
        reload("nas01");
        WaitForRound(reader, 0, [](const Event& event) { return event.kind == "reload"; });
        const double spawned = MonotonicNow();
        service.Start();
        const Round seen = WaitForRound(reader, clients, TargetLoggedIn);
        startups.push_back(seen.seconds);
        fromSpawn.push_back(seen.seconds < 0 ? -1 : seen.lastUpdate - spawned);
        figures.failures += seen.seconds < 0 || seen.rejected > 0;
        Progress("  %d clients: start-up round %d: %.3f s", clients, round + 1, seen.seconds);
        if (round + 1 < rounds) {
            service.Stop();
        }
    }
    figures.startup = Median(startups);
    figures.startupFromSpawn = Median(fromSpawn);

    // Address changes with the service running: every client names the old address.
    std::vector<double> changes;
    const auto serviceBefore = ReadUsage(service.Pid());
    const auto simulatorBefore = ReadUsage(simulator.Process().Pid());
    for (int round = 0; round < rounds; ++round) {
        const std::string previous = targetAddress;
        targetAddress = Address(++addressRound);
        reload(previous);
        const Round seen = WaitForRound(reader, clients, TargetPushed);
        changes.push_back(seen.seconds);
        figures.failures += seen.seconds < 0 || seen.rejected > 0;
        Progress("  %d clients: change round %d: %.3f s", clients, round + 1, seen.seconds);
    }
    figures.serviceCpu = ReadUsage(service.Pid()).runSeconds - serviceBefore.runSeconds;
    figures.simulatorCpu =
        ReadUsage(simulator.Process().Pid()).runSeconds - simulatorBefore.runSeconds;
    figures.serviceThreads = ThreadCount(service.Pid());
    figures.change = Median(changes);

    if (idle) {
        Progress("  %d clients: idle for %d s", clients, idleSeconds);
        figures.idle = MeasureIdle(service.Pid(), idleSeconds);
    }
    figures.vmhwmKib = StatusKib(service.Pid(), "VmHWM");
    service.Stop();

    // The same change work by the drivers, timed the same way.
    TargetWatch watch(static_cast<unsigned short>(simulator.Port("target")), kTargetLogin);
    std::vector<unsigned short> ports;
    for (int index = 0; index < clients; ++index) {
        ports.push_back(
            static_cast<unsigned short>(simulator.Port("client" + std::to_string(index))));
    }
    for (const bool allAtOnce : {true, false}) {
        std::vector<double> times;
        for (int round = 0; round < rounds; ++round) {
            const std::string previous = targetAddress;
            targetAddress = Address(++addressRound);
            reader.Next();
            reload(previous);
            const std::string address = watch.WaitForNextDataSet(std::chrono::seconds(20));
            const DriverResult result =
                address.empty() ? DriverResult{0, clients}
                : allAtOnce     ? UpdateAllAtOnce(ports, kClientLogin, address, kRoundTimeout)
                            : UpdateOneAfterAnother(ports, kClientLogin, address, kRoundTimeout);
            const Round seen = WaitForRound(reader, result.updated, TargetPushed);
            const bool complete = result.updated == clients && result.failed == 0;
            times.push_back(complete ? seen.seconds : -1);
            figures.failures += !complete || seen.rejected > 0;
            Progress("  %d clients: %s round %d: %.3f s (%d updated, %d failed)", clients,
                     allAtOnce ? "floor" : "sequential", round + 1, seen.seconds, result.updated,
                     result.failed);
        }
        (allAtOnce ? figures.floor : figures.sequential) = Median(times);
    }
    return figures;
}

}  // namespace bench
