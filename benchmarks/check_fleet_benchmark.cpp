// vaultline-check against a large simulated fleet on loopback: how long one full check takes,
// half of the clients stale. Prints figures, asserts nothing.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <string>

#include "launcher/child_process.h"
#include "launcher/simulator_process.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Fleet(int clients) {
    std::ostringstream xml;
    xml << "<Fleet>\n<Server name=\"target\" port=\"0\" username=\"admin\" password=\"bench\">"
        << "<Adapter name=\"eth0\" description=\"nic\" mac=\"52:54:00:00:00:01\" ip=\"10.0.0.5\" "
           "connected=\"true\" dhcp=\"true\"/></Server>\n";
    for (int client = 0; client < clients; ++client) {
        xml << "<Server name=\"client" << client
            << "\" port=\"0\" username=\"backup\" password=\"bench\"><Target id=\"1\" path=\"\\\\"
            << (client % 2 == 0 ? "10.0.0.5" : "nas01") << "\\archive\\" << client
            << "\"/></Server>\n";
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
