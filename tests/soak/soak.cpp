// The service soak: vaultline keeps a fleet of simulated clients pointed at a target that moves
// every few seconds while the simulator drops, refuses, delays and rejects at random; then the
// faults stop and every client must name the final address, with its share untouched.
//   vaultline_soak <seconds> <seed> [clients]
#include <dirent.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <tinyxml2.h>

#include "launcher/child_process.h"
#include "launcher/simulator_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using launcher::ChildProcess;
using launcher::FleetAdapter;
using launcher::FleetServer;
using launcher::FleetTarget;
using launcher::SimulatorProcess;
using launcher::TempDirectory;

constexpr int kTargetId = 3;
// The bound within which every client names the final address once the faults stop.
constexpr auto kSettleBound = std::chrono::seconds(15);
// Before the faults start, the fleet is brought to its first address with no deadline to speak
// of; the soak measures what happens afterwards.
constexpr auto kFirstSettleBound = std::chrono::seconds(120);

struct Options {
    int seconds = 0;
    uint64_t seed = 0;
    int clients = 200;
};

std::optional<Options> ParseOptions(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        return std::nullopt;
    }
    Options options;
    char* end = nullptr;
    options.seconds = static_cast<int>(std::strtol(argv[1], &end, 10));
    if (*end != '\0' || options.seconds <= 0) {
        return std::nullopt;
    }
    options.seed = std::strtoull(argv[2], &end, 10);
    if (*end != '\0') {
        return std::nullopt;
    }
    if (argc == 4) {
        options.clients = static_cast<int>(std::strtol(argv[3], &end, 10));
        if (*end != '\0' || options.clients <= 0 || options.clients > 2000) {
            return std::nullopt;
        }
    }
    return options;
}

// The soak's whole state: the fleet as last written, the service, and what it has seen.
class Soak {
public:
    explicit Soak(const Options& options) : options_(options), random_(options.seed) {}

    // Runs every phase; false after a printed failure.
    bool Run();

private:
    std::string NewAddress();
    // Every client's share part, drawn once: spaces, dots, dollar signs and nested folders.
    std::string NewShare(int index);
    std::vector<FleetServer> Fleet(bool faults);
    // Rewrites the fleet for a new target address; client paths keep what the state file says,
    // so a reload never undoes the service's work.
    bool MoveTarget(bool faults);
    std::map<std::string, std::string> StatePaths() const;
    // Waits until every client's path is the target address plus its own share.
    bool Settled(std::chrono::seconds bound, std::string& report);
    bool ServiceAlive(const char* when);
    int OpenDescriptors() const;
    std::size_t Count(const std::string& text) const;
    bool Fail(const std::string& why);

    Options options_;
    std::mt19937_64 random_;
    std::string address_;
    std::vector<std::string> shares_;
    std::map<std::string, std::string> currentPaths_;
    int changes_ = 0;
    std::unique_ptr<SimulatorProcess> simulator_;
    TempDirectory directory_;
    std::unique_ptr<ChildProcess> service_;
};

std::string ClientName(int index) {
    char name[24];
    std::snprintf(name, sizeof name, "client%03d", index);
    return name;
}

std::string Soak::NewAddress() {
    std::uniform_int_distribution<int> octet(1, 254);
    std::string address;
    do {
        address = "10." + std::to_string(octet(random_)) + "." + std::to_string(octet(random_)) +
                  "." + std::to_string(octet(random_));
    } while (address == address_);
    return address;
}

std::string Soak::NewShare(int index) {
    static const char* const kPieces[] = {"archive", "Backup Set", "nightly.1", "d$",
                                          "x",       "a b  c",     "2024-01",   "deep"};
    std::uniform_int_distribution<int> depth(0, 3);
    std::uniform_int_distribution<std::size_t> piece(0, std::size(kPieces) - 1);
    std::string share = "share" + std::to_string(index);
    for (int level = depth(random_); level > 0; --level) {
        share += "\\";
        share += kPieces[piece(random_)];
    }
    return share;
}

std::vector<FleetServer> Soak::Fleet(bool faults) {
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::uniform_int_distribution<int> delay(0, 300);
    std::uniform_int_distribution<uint32_t> seed;
    const auto faultKnobs = [&](double drop, double refuse) {
        std::map<std::string, std::string> knobs;
        if (faults) {
            knobs["dropProbability"] = std::to_string(drop);
            knobs["refuseProbability"] = std::to_string(refuse);
            knobs["replyDelayMs"] = std::to_string(delay(random_));
            knobs["seed"] = std::to_string(seed(random_));
        }
        return knobs;
    };

    std::vector<FleetServer> fleet;
    FleetServer target;
    target.name = "target";
    target.knobs = faultKnobs(0.1, 0.1);
    target.adapters = {
        FleetAdapter{"lo", "loopback", "00:00:00:00:00:00", "127.0.0.1", true, false},
        FleetAdapter{"eth0", "uplink", "00:11:22:33:44:55", address_, true, true}};
    fleet.push_back(target);
    for (int index = 0; index < options_.clients; ++index) {
        FleetServer client;
        client.name = ClientName(index);
        client.username = "backup";
        client.knobs = faultKnobs(0.3, 0.2);
        if (faults && chance(random_) < 0.2) {
            client.knobs["rejectUpdates"] = "true";
        }
        client.targets = {FleetTarget{1, false, "\\\\old-nas\\retired"},
                          FleetTarget{kTargetId, true, currentPaths_[client.name]}};
        fleet.push_back(client);
    }
    return fleet;
}

std::map<std::string, std::string> Soak::StatePaths() const {
    std::map<std::string, std::string> paths;
    tinyxml2::XMLDocument document;
    if (document.LoadFile(simulator_->StatePath().c_str()) != tinyxml2::XML_SUCCESS ||
        document.RootElement() == nullptr) {
        return paths;
    }
    for (auto* server = document.RootElement()->FirstChildElement("Server"); server != nullptr;
         server = server->NextSiblingElement("Server")) {
        for (auto* target = server->FirstChildElement("Target"); target != nullptr;
             target = target->NextSiblingElement("Target")) {
            if (target->IntAttribute("id", -1) == kTargetId && server->Attribute("name") &&
                target->Attribute("path")) {
                paths[server->Attribute("name")] = target->Attribute("path");
            }
        }
    }
    return paths;
}

bool Soak::MoveTarget(bool faults) {
    for (auto& [name, path] : StatePaths()) {
        if (currentPaths_.count(name) != 0) {
            currentPaths_[name] = path;
        }
    }
    address_ = NewAddress();
    ++changes_;
    return simulator_->Reload(Fleet(faults));
}

bool Soak::Settled(std::chrono::seconds bound, std::string& report) {
    std::size_t wrong = 0;
    const bool settled = launcher::WaitUntil(
        [&] {
            const auto paths = StatePaths();
            wrong = 0;
            report.clear();
            for (int index = 0; index < options_.clients; ++index) {
                const std::string name = ClientName(index);
                const auto found = paths.find(name);
                const std::string expected = "\\\\" + address_ + "\\" + shares_[index];
                if (found == paths.end() || found->second != expected) {
                    if (++wrong <= 5) {
                        report += "  " + name + ": " +
                                  (found == paths.end() ? "<missing>" : found->second) +
                                  " (expected " + expected + ")\n";
                    }
                }
            }
            return wrong == 0;
        },
        bound);
    if (!settled) {
        report = std::to_string(wrong) + " clients do not name " + address_ + ":\n" + report;
    }
    return settled;
}

bool Soak::ServiceAlive(const char* when) {
    if (const auto status = service_->Wait(std::chrono::milliseconds(0))) {
        return Fail(std::string("vaultline ended ") + when + " with status " +
                    std::to_string(*status));
    }
    return true;
}

int Soak::OpenDescriptors() const {
    const std::string path = "/proc/" + std::to_string(service_->Pid()) + "/fd";
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr) {
        return -1;
    }
    int count = 0;
    while (const dirent* entry = readdir(directory)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    closedir(directory);
    return count;
}

std::size_t Soak::Count(const std::string& text) const {
    const std::string out = simulator_->Process().Stdout();
    std::size_t count = 0;
    for (auto at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) {
        ++count;
    }
    return count;
}

bool Soak::Fail(const std::string& why) {
    std::printf("FAILED: %s\n", why.c_str());
    if (service_) {
        const std::string log = service_->Stderr();
        const std::size_t tail = log.size() > 4000 ? log.size() - 4000 : 0;
        std::printf("--- end of vaultline's log ---\n%s\n", log.substr(tail).c_str());
    }
    // The whole story stays behind for a look: the service's log, the simulator's events and
    // its last state.
    const auto kept = std::filesystem::temp_directory_path() /
                      ("vaultline-soak-" + std::to_string(options_.seed));
    std::error_code error;
    std::filesystem::create_directories(kept, error);
    if (service_) {
        std::ofstream(kept / "vaultline.log") << service_->Stderr();
    }
    if (simulator_) {
        std::ofstream(kept / "simulator.out") << simulator_->Process().Stdout();
        std::filesystem::copy_file(simulator_->StatePath(), kept / "state.xml",
                                   std::filesystem::copy_options::overwrite_existing, error);
    }
    std::printf("logs kept in %s\n", kept.c_str());
    std::printf("replay: bash scripts/soak.sh %d %llu\n", options_.seconds,
                static_cast<unsigned long long>(options_.seed));
    return false;
}

bool Soak::Run() {
    address_ = NewAddress();
    for (int index = 0; index < options_.clients; ++index) {
        shares_.push_back(NewShare(index));
        // Every client starts out naming a host the target never has.
        currentPaths_[ClientName(index)] = "\\\\192.0.2.1\\" + shares_.back();
    }
    try {
        simulator_ = std::make_unique<SimulatorProcess>(launcher::FleetXml(Fleet(false)));
    } catch (const std::exception& error) {
        return Fail(std::string("simulator did not start: ") + error.what());
    }

    std::ostringstream configuration;
    configuration << "<Vaultline>\n  <ArchiveTarget Address=\"127.0.0.1\" Port=\""
                  << simulator_->Port("target") << "\" Username=\"admin\" Password=\"secret\"/>\n"
                  << "  <ArchiveClients Username=\"backup\" Password=\"secret\">\n";
    for (int index = 0; index < options_.clients; ++index) {
        configuration << "    <ArchiveClient Address=\"127.0.0.1\" Port=\""
                      << simulator_->Port(ClientName(index)) << "\"/>\n";
    }
    configuration << "  </ArchiveClients>\n</Vaultline>\n";
    directory_.WriteFile("vaultline.conf", configuration.str());
    service_ = std::make_unique<ChildProcess>(std::vector<std::string>{VAULTLINE_BINARY, "-c"},
                                              directory_.Path());

    std::string report;
    if (!Settled(kFirstSettleBound, report)) {
        return Fail("the fleet never reached its first address\n" + report);
    }
    // Early figures, once the first round of work is over.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const int earlyDescriptors = OpenDescriptors();
    const long earlyRss = service_->MemoryKib("VmRSS");

    std::uniform_int_distribution<int> pause(2000, 5000);
    const auto faultsEnd = Clock::now() + std::chrono::seconds(options_.seconds);
    while (Clock::now() < faultsEnd) {
        if (!MoveTarget(true)) {
            return Fail("simulator reload failed");
        }
        const auto next = Clock::now() + std::chrono::milliseconds(pause(random_));
        while (Clock::now() < std::min(next, faultsEnd)) {
            if (!ServiceAlive("during the faults")) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    }

    // The last change, with every fault switched off.
    if (!MoveTarget(false)) {
        return Fail("simulator reload failed");
    }
    const auto lastChange = Clock::now();
    if (!Settled(kSettleBound, report)) {
        return Fail("not settled within 15 s of the last change\n" + report);
    }
    const double settleSeconds = std::chrono::duration<double>(Clock::now() - lastChange).count();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    if (!ServiceAlive("after the faults")) {
        return false;
    }
    const int lateDescriptors = OpenDescriptors();
    const long lateRss = service_->MemoryKib("VmRSS");

    std::printf("seed %llu, %d s of faults, %d clients\n",
                static_cast<unsigned long long>(options_.seed), options_.seconds, options_.clients);
    std::printf(
        "address changes %d, updates applied %zu, rejected updates %zu, refusals %zu, "
        "drops %zu\n",
        changes_, Count("result=applied"), Count("result=rejected"), Count("result=refused"),
        Count("drop name="));
    std::printf("settled %.1f s after the last change\n", settleSeconds);
    std::printf("descriptors %d -> %d, RSS %ld -> %ld KiB\n", earlyDescriptors, lateDescriptors,
                earlyRss, lateRss);

    // The slack covers a few connections still closing; a leak of one per change or per client
    // exceeds it.
    if (earlyDescriptors < 0 || lateDescriptors > earlyDescriptors + 8) {
        return Fail("open descriptors grew from " + std::to_string(earlyDescriptors) + " to " +
                    std::to_string(lateDescriptors));
    }
    if (earlyRss < 0 || lateRss > earlyRss + std::max(earlyRss / 2, 8192L)) {
        return Fail("RSS grew from " + std::to_string(earlyRss) + " to " + std::to_string(lateRss) +
                    " KiB");
    }

    service_->Signal(SIGTERM);
    const auto status = service_->Wait(std::chrono::seconds(10));
    if (status != 0) {
        return Fail("vaultline did not end cleanly on SIGTERM (status " +
                    (status ? std::to_string(*status) : std::string("none, still running")) + ")");
    }
    if (const std::string errors = simulator_->Process().Stderr(); !errors.empty()) {
        return Fail("simulator reported problems:\n" + errors);
    }
    std::printf("soak passed\n");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = ParseOptions(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: vaultline_soak <seconds> <seed> [clients]\n");
        return 2;
    }
    std::printf("soak seed %llu\n", static_cast<unsigned long long>(options->seed));
    std::fflush(stdout);
    return Soak(*options).Run() ? 0 : 1;
}
