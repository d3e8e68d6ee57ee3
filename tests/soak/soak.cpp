// The service soak: vaultline keeps a fleet of simulated clients pointed at a target that moves
// again and again while the simulator drops, refuses, delays and rejects at random. After every
// change (or burst of changes) every client must name the new address, with its share untouched,
// while the faults go on; then the faults stop and the final address must reach every client.
//   vaultline_soak <seconds> <seed> [clients]
#include <dirent.h>
#include <signal.h>

#include <algorithm>
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
constexpr int kDisabledTargetId = 1;
// The bound within which every client names the final address once the faults stop.
constexpr auto kSettleBound = std::chrono::seconds(15);
// The bound within which every client names a new address while the faults go on: a client may
// be refused or dropped several times in a row, 5 s apart, and a rejected update waits for its
// confirmation and for the server to stop rejecting. With the clients' fault rates below, a
// quarter of the attempts fail; twelve failures in a row for one of 200 clients are a matter of
// 1 in 10^5.
constexpr auto kChangeBound = std::chrono::seconds(60);
// Short, so that rewrites are confirmed and every client rechecked within seconds: the fleet's
// rejected and lost updates are healed by these alone.
constexpr int kRecheckSeconds = 5;
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
    // Reloads the fleet with faults drawn afresh; client paths keep what the state file says, so
    // a reload does not undo the service's work. With `move`, the target takes a new address,
    // and a random half of the clients get a new disabled target, so that their logged-in
    // sessions are sent a new data set, after their reply delay, while the change is under way.
    bool Reload(bool faults, bool move);
    std::map<std::string, std::string> StatePaths() const;
    // Waits until every client's path is the target address plus its own share. With `faults`,
    // they are drawn afresh every 2 to 5 s while it waits.
    bool Settled(std::chrono::seconds bound, bool faults, std::string& report);
    bool ServiceAlive(const char* when);
    // Waits for vaultline's next "rechecking" line, reading only what is logged from now on;
    // false when none comes within `bound`.
    bool AwaitRecheck(std::chrono::seconds bound);
    int OpenDescriptors() const;
    std::size_t Count(const std::string& text) const;
    bool Fail(const std::string& why);

    Options options_;
    std::mt19937_64 random_;
    std::string address_;
    std::vector<std::string> shares_;
    std::map<std::string, std::string> currentPaths_;
    std::vector<std::string> disabledPaths_;
    int changes_ = 0;
    // How long each checked change took to reach every client, in seconds.
    std::vector<double> convergence_;
    std::unique_ptr<SimulatorProcess> simulator_;
    TempDirectory directory_;
    std::unique_ptr<ChildProcess> service_;
    std::streamoff logRead_ = 0;
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
        client.knobs = faultKnobs(0.15, 0.1);
        if (faults && chance(random_) < 0.1) {
            client.knobs["rejectUpdates"] = "true";
        }
        client.targets = {FleetTarget{kDisabledTargetId, false, disabledPaths_[index]},
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

bool Soak::Reload(bool faults, bool move) {
    for (auto& [name, path] : StatePaths()) {
        if (currentPaths_.count(name) != 0) {
            currentPaths_[name] = path;
        }
    }
    if (move) {
        address_ = NewAddress();
        ++changes_;
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        for (std::string& path : disabledPaths_) {
            if (chance(random_) < 0.5) {
                path = "\\\\old-nas\\retired-" + std::to_string(changes_);
            }
        }
    }
    return simulator_->Reload(Fleet(faults));
}

bool Soak::Settled(std::chrono::seconds bound, bool faults, std::string& report) {
    std::size_t wrong = 0;
    std::uniform_int_distribution<int> pause(2000, 5000);
    auto nextDraw = Clock::now() + std::chrono::milliseconds(pause(random_));
    bool reloaded = true;
    const bool settled = launcher::WaitUntil(
        [&] {
            if (faults && Clock::now() >= nextDraw) {
                reloaded = reloaded && Reload(true, false);
                nextDraw = Clock::now() + std::chrono::milliseconds(pause(random_));
            }
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
            return wrong == 0 || !reloaded || service_->Wait(std::chrono::milliseconds(0));
        },
        bound);
    if (!reloaded) {
        report = "simulator reload failed";
        return false;
    }
    if (const auto status = service_->Wait(std::chrono::milliseconds(0))) {
        report = "vaultline ended with status " + std::to_string(*status);
        return false;
    }
    if (!settled) {
        report = std::to_string(wrong) + " clients do not name " + address_ + ":\n" + report;
    }
    return settled;
}

bool Soak::AwaitRecheck(std::chrono::seconds bound) {
    std::error_code error;
    logRead_ =
        static_cast<std::streamoff>(std::filesystem::file_size(service_->StderrPath(), error));
    return launcher::WaitUntil(
        [&] {
            std::ifstream log(service_->StderrPath(), std::ios::binary);
            log.seekg(logRead_);
            for (std::string line; std::getline(log, line);) {
                if (log.eof()) {
                    break;  // a line still being written: read it whole next time
                }
                logRead_ = log.tellg();
                if (line.find(" rechecking ") != std::string::npos) {
                    return true;
                }
            }
            return false;
        },
        bound);
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
        disabledPaths_.push_back("\\\\old-nas\\retired");
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
                  << "  <ArchiveClients Username=\"backup\" Password=\"secret\" RecheckSeconds=\""
                  << kRecheckSeconds << "\">\n";
    for (int index = 0; index < options_.clients; ++index) {
        configuration << "    <ArchiveClient Address=\"127.0.0.1\" Port=\""
                      << simulator_->Port(ClientName(index)) << "\"/>\n";
    }
    configuration << "  </ArchiveClients>\n</Vaultline>\n";
    directory_.WriteFile("vaultline.conf", configuration.str());
    service_ = std::make_unique<ChildProcess>(std::vector<std::string>{VAULTLINE_BINARY, "-c"},
                                              directory_.Path());

    std::string report;
    if (!Settled(kFirstSettleBound, false, report)) {
        return Fail("the fleet never reached its first address\n" + report);
    }
    // Early figures, once the first round of work is over.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const int earlyDescriptors = OpenDescriptors();
    const long earlyRss = service_->MemoryKib("VmRSS");

    // Each cycle: a change, now and then followed by more before the clients have caught up
    // (the previous change's connections and updates still under way), then every client must
    // name the last address while the faults go on. Half the changes land just after a recheck
    // has started, while the clients' data sets are on their way to it, delayed, and some of
    // those clients are sent a new data set by the change itself.
    std::uniform_int_distribution<int> burstGap(300, 2000);
    std::uniform_int_distribution<int> rest(0, 6000);
    std::uniform_int_distribution<int> intoRecheck(0, 400);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    const auto faultsEnd = Clock::now() + std::chrono::seconds(options_.seconds);
    while (Clock::now() < faultsEnd) {
        if (chance(random_) < 0.5) {
            AwaitRecheck(std::chrono::seconds(kRecheckSeconds * 2));
            std::this_thread::sleep_for(std::chrono::milliseconds(intoRecheck(random_)));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(rest(random_)));
        }
        do {
            if (!Reload(true, true)) {
                return Fail("simulator reload failed");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(burstGap(random_)));
        } while (chance(random_) < 0.3);
        const auto change = Clock::now();
        if (!Settled(kChangeBound, true, report)) {
            return Fail("change " + std::to_string(changes_) + " not settled within " +
                        std::to_string(kChangeBound.count()) + " s\n" + report);
        }
        convergence_.push_back(std::chrono::duration<double>(Clock::now() - change).count());
    }

    // The last change, with every fault switched off.
    if (!Reload(false, true)) {
        return Fail("simulator reload failed");
    }
    const auto lastChange = Clock::now();
    if (!Settled(kSettleBound, false, report)) {
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
        "drops %zu, data sets pushed to logged-in clients %zu\n",
        changes_, Count("result=applied"), Count("result=rejected"), Count("result=refused"),
        Count("drop name="), Count("push name=client"));
    std::sort(convergence_.begin(), convergence_.end());
    if (!convergence_.empty()) {
        std::printf(
            "every client on the new address after %zu checked changes: median %.1f s, "
            "longest %.1f s\n",
            convergence_.size(), convergence_[convergence_.size() / 2], convergence_.back());
    }
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
