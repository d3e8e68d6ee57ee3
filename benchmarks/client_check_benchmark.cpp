// One client with tens of thousands of enabled archive targets, on loopback: how long the
// service's check of it takes, what it logs, and how vaultline-check reports it. Prints figures,
// asserts nothing.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/logging.h"
#include "bench_fleet.h"
#include "launcher/child_process.h"
#include "launcher/simulator_process.h"
#include "service/test_access.h"

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

// A target at 10.0.0.5 and one client whose `targets` targets are all enabled and stale. The
// client keeps its connection after an update, so the service can check it again and again.
std::string Fleet(int targets) {
    launcher::FleetServer client = bench::BenchClient(0, {});
    client.name = "client";
    client.knobs["closeAfterUpdate"] = "false";
    for (int id = 1; id <= targets; ++id) {
        client.targets.push_back({id, true, "\\\\nas01\\archive\\" + std::to_string(id)});
    }
    return launcher::FleetXml({bench::BenchTarget("10.0.0.5"), client});
}

std::string Configuration(const launcher::SimulatorProcess& simulator) {
    std::ostringstream xml;
    xml << "<V><ArchiveTarget Address=\"127.0.0.1\" Port=\"" << simulator.Port("target")
        << "\" Username=\"admin\" Password=\"bench\"/><ArchiveClients Username=\"backup\" "
           "Password=\"bench\"><ArchiveClient Address=\"127.0.0.1\" Port=\""
        << simulator.Port("client") << "\"/></ArchiveClients></V>";
    return xml.str();
}

// Runs `work` on the service's worker thread and waits for it.
template <class Work>
void OnWorker(vaultline::Vaultline& service, Work work) {
    std::promise<void> done;
    vaultline::ServiceTestAccess(service).Schedule(
        [&] {
            work();
            done.set_value();
        },
        false);
    done.get_future().wait();
}

// The service's own checks, in this process with libkxAPI.so: vaultline starts, follows the
// target, connects the client and checks it as always; then the client, still connected with
// its data, is checked `rounds` more times on the worker thread, each one timed.
int MeasureService(const launcher::SimulatorProcess& simulator, int targets, int rounds) {
    launcher::TempDirectory directory;
    directory.WriteFile("vaultline.conf", Configuration(simulator));
    const std::filesystem::path logPath = directory.Path() / "vaultline.log";
    const std::filesystem::path previousDirectory = std::filesystem::current_path();
    std::filesystem::current_path(directory.Path());
    // Log lines go to a file, as a service's go to the journal, and are counted afterwards.
    std::fflush(stderr);
    const int savedStderr = dup(STDERR_FILENO);
    const int logFile = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(logFile, STDERR_FILENO);
    close(logFile);

    vaultline::Logger benchLogger;
    const auto sink = vaultline::InitLogging(1, false);
    vaultline::logger = &benchLogger;
    std::vector<double> checks;
    bool converged = false;
    double firstUpdateMs = 0;
    {
        // No guard between checks, so every round checks again.
        vaultline::ServiceTimes times;
        times.verifyInterval = std::chrono::milliseconds(0);
        vaultline::Vaultline service(times);
        const vaultline::ServiceTestAccess inside(service);
        const auto started = Clock::now();
        if (service.Initialize()) {
            converged = simulator.Process().WaitForStdout("update name=client target=1 ",
                                                          std::chrono::seconds(60));
            firstUpdateMs = Milliseconds(Clock::now() - started);
        }
        if (converged) {
            OnWorker(service, [&] {
                vaultline::Vaultline::Server& client = inside.ClientRecord(0).server;
                if (client.link.State() != vaultline::ConnState::LoggedIn ||
                    KXAPI_GetNumTargets(client.handle.get()) != static_cast<uint64_t>(targets)) {
                    return;
                }
                // One task, so the close a correct check queues waits until every round is done.
                for (int round = 0; round < rounds; ++round) {
                    const auto start = Clock::now();
                    inside.VerifyClientTarget(client);
                    checks.push_back(Milliseconds(Clock::now() - start));
                }
            });
        }
    }
    vaultline::logger = nullptr;
    vaultline::ShutdownLogging(sink);
    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    std::filesystem::current_path(previousDirectory);

    const std::string log = launcher::ReadFile(logPath);
    if (!converged || checks.empty()) {
        std::fprintf(stderr, "the service did not check the client; its log:\n%s\n", log.c_str());
        return 1;
    }
    std::sort(checks.begin(), checks.end());
    const int checksRun = rounds + 1;
    std::printf("service, start to the first update applied:  %.0f ms (transfer included)\n",
                firstUpdateMs);
    std::printf("service, one check (%d rounds): median %.1f ms, max %.1f ms\n", rounds,
                checks[checks.size() / 2], checks.back());
    int lines = 0;
    int warnings = 0;
    std::string summary;
    std::istringstream split(log);
    for (std::string line; std::getline(split, line); ++lines) {
        warnings += line.find(" WARNING ") != std::string::npos ? 1 : 0;
        if (line.find("more not listed") != std::string::npos) {
            summary = line;
        }
    }
    std::printf("log lines over %d checks: %d WARNING, %d in all\n", checksRun, warnings, lines);
    if (!summary.empty()) {
        std::printf("  %s\n", summary.c_str());
    }
    return 0;
}

// vaultline-check against the same two servers: its time and its line about the client.
int MeasureCheckProgram(const launcher::SimulatorProcess& simulator) {
    launcher::TempDirectory directory;
    directory.WriteFile("vaultline.conf", Configuration(simulator));
    const auto started = Clock::now();
    launcher::ChildProcess check({VAULTLINE_CHECK_BINARY}, directory.Path());
    const auto status = check.Wait(std::chrono::seconds(120));
    if (!status) {
        std::fprintf(stderr, "vaultline-check did not finish within 120 s\n");
        return 1;
    }
    std::printf("vaultline-check, start to exit:               %.0f ms, exit status %d\n",
                Milliseconds(Clock::now() - started), *status);
    std::istringstream report(check.Stdout());
    const std::string client = "127.0.0.1:" + std::to_string(simulator.Port("client"));
    for (std::string line; std::getline(report, line);) {
        if (line.find(client) != std::string::npos) {
            std::printf("%s\n", line.c_str());
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int targets = argc > 1 ? std::atoi(argv[1]) : 65535;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    if (targets < 1 || targets > 65535 || rounds < 1 || rounds > 1000) {
        std::fprintf(stderr, "usage: client-check-benchmark [targets 1-65535] [rounds 1-1000]\n");
        return 2;
    }
    std::printf("client-check-benchmark: 1 client with %d enabled stale targets, loopback\n",
                targets);
    try {
        const auto started = Clock::now();
        launcher::SimulatorProcess simulator(Fleet(targets), std::chrono::seconds(120));
        std::printf("simulator, start to ready (reads the fleet):  %.0f ms\n",
                    Milliseconds(Clock::now() - started));
        const int checked = MeasureCheckProgram(simulator);
        const int measured = MeasureService(simulator, targets, rounds);
        std::printf("state file after the update:                  %ju bytes\n",
                    static_cast<uintmax_t>(std::filesystem::file_size(simulator.StatePath())));
        return checked != 0 || measured != 0 ? 1 : 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
