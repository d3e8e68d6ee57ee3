// vaultline-check against a large simulated fleet on loopback: how long one full check takes,
// half of the clients stale. Prints figures, asserts nothing.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <string>

#include "bench_fleet.h"
#include "launcher/child_process.h"
#include "launcher/simulator_process.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Fleet(int clients) {
    std::vector<launcher::FleetServer> fleet = {bench::BenchTarget("10.0.0.5")};
    for (int client = 0; client < clients; ++client) {
        const std::string host = client % 2 == 0 ? "10.0.0.5" : "nas01";
        fleet.push_back(bench::BenchClient(
            client, {{1, true, "\\\\" + host + "\\archive\\" + std::to_string(client)}}));
    }
    return launcher::FleetXml(fleet);
}

int CountLines(const std::string& text, const std::string& piece) {
    int count = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    const int clients = argc > 1 ? std::atoi(argv[1]) : 1000;
    std::printf("check-fleet-benchmark: 1 target, %d clients (half stale), loopback\n", clients);
    try {
        launcher::SimulatorProcess simulator(Fleet(clients), std::chrono::seconds(60));
        launcher::TempDirectory directory;
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

        const auto started = Clock::now();
        launcher::ChildProcess check({VAULTLINE_CHECK_BINARY}, directory.Path());
        const auto status = check.Wait(std::chrono::seconds(120));
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        if (!status) {
            std::fprintf(stderr, "vaultline-check did not finish within 120 s\n");
            return 1;
        }
        const std::string report = check.Stdout();
        std::printf("whole check, start to exit:      %.2f s\n", seconds);
        std::printf(
            "verdicts: %d correct, %d would rewrite, %d other\n", CountLines(report, " correct\n"),
            CountLines(report, " would rewrite "),
            clients - CountLines(report, " correct\n") - CountLines(report, " would rewrite "));
        std::printf("vaultline-check exit status:     %d\n", *status);
        std::printf("simulator updates seen:          %d\n",
                    CountLines(simulator.Process().Stdout(), "update "));
        return *status == 2 ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
