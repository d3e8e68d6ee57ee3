// vaultline-bench: how fast vaultline brings a simulated fleet to a new target address, beside a
// floor and a sequential driver on the same SDK, its idle cost and its memory. Prints Markdown
// tables; asserts nothing.
#include <signal.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "launcher/child_process.h"
#include "launcher/simulator_process.h"
#include "process_stats.h"
#include "sdk_drivers.h"

namespace {

using Clock = std::chrono::steady_clock;
using launcher::ChildProcess;
using launcher::FleetServer;
using launcher::SimulatorProcess;

constexpr auto kRoundTimeout = std::chrono::seconds(180);
const bench::Credentials kTargetLogin{"admin", "bench"};
const bench::Credentials kClientLogin{"backup", "bench"};

constexpr const char* kUsage =
    "usage: vaultline-bench [--quick] [--sizes N,N,...] [--rounds N] [--idle-seconds S]\n"
    "                       [--idle-sizes N,N,...] [--commit TEXT]\n"
    "\n"
    "Runs vaultline against archive-simulator fleets of N clients with stale paths and prints\n"
    "Markdown tables: convergence at start-up and after an address change (median of the rounds,\n"
    "from the simulator's own timestamps), the same work by a floor and a sequential driver,\n"
    "idle cost, memory. Defaults: sizes 10,100,1000,5000, 5 rounds (3 from 5000 clients), idle\n"
    "20 s at 10 and 1000 clients. --quick: sizes 10,100, 3 rounds, idle 5 s at 100 clients.\n";

struct Options {
    std::vector<int> sizes = {10, 100, 1000, 5000};
    int rounds = 5;
    std::vector<int> idleSizes = {10, 1000};
    int idleSeconds = 20;
    std::string commit = "unknown";
};

std::vector<int> ParseSizes(const std::string& text) {
    std::vector<int> sizes;
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        const int size = std::atoi(item.c_str());
        if (size <= 0 || size > 10000) {
            throw std::invalid_argument("sizes are 1 to 10000 clients: \"" + item + "\"");
        }
        sizes.push_back(size);
    }
    return sizes;
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        const auto value = [&]() -> std::string {
            if (index + 1 >= argc) {
                throw std::invalid_argument(argument + " needs a value");
            }
            return argv[++index];
        };
        if (argument == "--quick") {
            options.sizes = {10, 100};
            options.rounds = 3;
            options.idleSizes = {100};
            options.idleSeconds = 5;
        } else if (argument == "--sizes") {
            options.sizes = ParseSizes(value());
        } else if (argument == "--idle-sizes") {
            options.idleSizes = ParseSizes(value());
        } else if (argument == "--rounds") {
            options.rounds = std::max(1, std::atoi(value().c_str()));
        } else if (argument == "--idle-seconds") {
            options.idleSeconds = std::max(1, std::atoi(value().c_str()));
        } else if (argument == "--commit") {
            options.commit = value();
        } else {
            throw std::invalid_argument("unknown argument \"" + argument + "\"");
        }
    }
    return options;
}

// The simulator's stdout, read as it grows: its event lines with their timestamps.
struct Event {
    std::string kind;
    std::map<std::string, std::string> fields;
    double time = 0;  // CLOCK_MONOTONIC seconds
};

class EventReader {
public:
    explicit EventReader(std::filesystem::path path) : path_(std::move(path)) {}

    // Every complete line written since the last call.
    std::vector<Event> Next() {
        std::ifstream file(path_, std::ios::binary);
        file.seekg(static_cast<std::streamoff>(offset_));
        std::ostringstream fresh;
        fresh << file.rdbuf();
        pending_ += fresh.str();
        offset_ += fresh.str().size();
        std::vector<Event> events;
        std::size_t start = 0;
        for (auto end = pending_.find('\n'); end != std::string::npos;
             start = end + 1, end = pending_.find('\n', start)) {
            std::istringstream words(pending_.substr(start, end - start));
            Event event;
            words >> event.kind;
            for (std::string word; words >> word;) {
                const auto equals = word.find('=');
                if (equals != std::string::npos) {
                    event.fields[word.substr(0, equals)] = word.substr(equals + 1);
                }
            }
            event.time = std::atof(event.fields["time"].c_str());
            events.push_back(std::move(event));
        }
        pending_.erase(0, start);
        return events;
    }

private:
    std::filesystem::path path_;
    std::size_t offset_ = 0;
    std::string pending_;
};

std::string Field(const Event& event, const std::string& key) {
    const auto found = event.fields.find(key);
    return found == event.fields.end() ? std::string() : found->second;
}

double MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// One round seen in the simulator's lines: from the first line `starts` accepts to the last
// applied update, once `expected` updates were applied.
struct Round {
    double seconds = -1;    // -1: timed out or never started
    double lastUpdate = 0;  // monotonic time of the last applied update
    int rejected = 0;
};

template <typename Starts>
Round WaitForRound(EventReader& reader, int expected, Starts starts) {
    Round round;
    std::optional<double> started;
    int applied = 0;
    const auto deadline = Clock::now() + kRoundTimeout;
    while (Clock::now() < deadline) {
        for (const Event& event : reader.Next()) {
            if (!started && starts(event)) {
                started = event.time;
            }
            if (event.kind == "reload" && Field(event, "result") != "ok") {
                throw std::runtime_error("the simulator refused a reload");
            }
            if (event.kind == "update") {
                if (Field(event, "result") == "applied") {
                    ++applied;
                    round.lastUpdate = event.time;
                } else {
                    ++round.rejected;
                }
            }
        }
        if (applied >= expected && started) {
            round.seconds = expected == 0 ? 0 : round.lastUpdate - *started;
            return round;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return round;
}

bool TargetPushed(const Event& event) {
    return event.kind == "push" && Field(event, "name") == "target";
}

bool TargetLoggedIn(const Event& event) {
    return event.kind == "login" && Field(event, "name") == "target" &&
           Field(event, "result") == "accepted";
}

std::string Address(int round) {
    return "10.0." + std::to_string(1 + round / 200) + "." + std::to_string(1 + round % 200);
}

// The bench fleet: the target with one DHCP adapter at `targetAddress`, and `clients` clients
// each with an enabled path naming `clientHost` and a disabled one naming another host.
std::vector<FleetServer> Fleet(int clients, const std::string& targetAddress,
                               const std::string& clientHost) {
    std::vector<FleetServer> fleet;
    FleetServer target;
    target.name = "target";
    target.username = kTargetLogin.username;
    target.password = kTargetLogin.password;
    target.adapters = {{"eth0", "nic", "52:54:00:00:00:01", targetAddress, true, true}};
    fleet.push_back(target);
    for (int index = 0; index < clients; ++index) {
        FleetServer client;
        client.name = "client" + std::to_string(index);
        client.username = kClientLogin.username;
        client.password = kClientLogin.password;
        client.targets = {{1, true, "\\\\" + clientHost + "\\archive\\" + std::to_string(index)},
                          {2, false, "\\\\old-nas\\spare"}};
        fleet.push_back(client);
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

struct IdleFigures {
    double servicePercent = -1;
    double serviceSwitches = -1;
    double barePercent = -1;
    double bareSwitches = -1;
};

struct SizeFigures {
    int clients = 0;
    int rounds = 0;
    double startup = -1;  // login to the target to the last client's update
    double startupFromSpawn = -1;
    double change = -1;  // the target's new data pushed to the last client's update
    double floor = -1;
    double sequential = -1;
    int failures = 0;  // rounds that timed out, rejected updates, driver failures
    long vmhwmKib = -1;
    double serviceCpu = -1;  // in the change rounds
    double simulatorCpu = -1;
    int serviceThreads = 0;
    std::optional<IdleFigures> idle;
};

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
    const auto serviceBefore = bench::ReadUsage(service);
    const auto bareBefore = bench::ReadUsage(bare.Pid());
    const double start = MonotonicNow();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto serviceAfter = bench::ReadUsage(service);
    const auto bareAfter = bench::ReadUsage(bare.Pid());
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

void Progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
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
    const auto serviceBefore = bench::ReadUsage(service.Pid());
    const auto simulatorBefore = bench::ReadUsage(simulator.Process().Pid());
    for (int round = 0; round < rounds; ++round) {
        const std::string previous = targetAddress;
        targetAddress = Address(++addressRound);
        reload(previous);
        const Round seen = WaitForRound(reader, clients, TargetPushed);
        changes.push_back(seen.seconds);
        figures.failures += seen.seconds < 0 || seen.rejected > 0;
        Progress("  %d clients: change round %d: %.3f s", clients, round + 1, seen.seconds);
    }
    figures.serviceCpu = bench::ReadUsage(service.Pid()).runSeconds - serviceBefore.runSeconds;
    figures.simulatorCpu =
        bench::ReadUsage(simulator.Process().Pid()).runSeconds - simulatorBefore.runSeconds;
    figures.serviceThreads = bench::ThreadCount(service.Pid());
    figures.change = Median(changes);

    if (idle) {
        Progress("  %d clients: idle for %d s", clients, idleSeconds);
        figures.idle = MeasureIdle(service.Pid(), idleSeconds);
    }
    figures.vmhwmKib = bench::StatusKib(service.Pid(), "VmHWM");
    service.Stop();

    // The same change work by the drivers, timed the same way.
    bench::TargetWatch watch(static_cast<unsigned short>(simulator.Port("target")), kTargetLogin);
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
            const bench::DriverResult result =
                address.empty() ? bench::DriverResult{0, clients}
                : allAtOnce
                    ? bench::UpdateAllAtOnce(ports, kClientLogin, address, kRoundTimeout)
                    : bench::UpdateOneAfterAnother(ports, kClientLogin, address, kRoundTimeout);
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

std::string Fixed(double value, int decimals) {
    if (value < 0) {
        return "n/a";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Ratio(double numerator, double denominator) {
    if (numerator < 0 || denominator <= 0) {
        return "n/a";
    }
    const double ratio = numerator / denominator;
    return Fixed(ratio, ratio < 10 ? 2 : 0);
}

std::string FirstLineOf(const char* path, const std::string& key) {
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (line.rfind(key, 0) == 0) {
            const auto colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

std::string LoadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

const SizeFigures* Find(const std::vector<SizeFigures>& all, int clients) {
    for (const SizeFigures& figures : all) {
        if (figures.clients == clients) {
            return &figures;
        }
    }
    return nullptr;
}

void PrintGoals(const std::vector<SizeFigures>& all) {
    const SizeFigures* thousand = Find(all, 1000);
    const SizeFigures* fiveThousand = Find(all, 5000);
    std::printf("\n| Goal | Measured | Met |\n|---|---|---|\n");
    const auto goal = [](const char* text, double value, double limit, const std::string& shown) {
        std::printf("| %s | %s | %s |\n", text, shown.c_str(),
                    value < 0 ? "n/a" : (value < limit ? "yes" : "**no**"));
    };
    if (thousand != nullptr) {
        goal("1,000 clients converge after a change in under 0.6 s", thousand->change, 0.6,
             Fixed(thousand->change, 3) + " s");
        const double ratio = thousand->floor > 0 ? thousand->change / thousand->floor : -1;
        goal("service/floor under 4 at 1,000", ratio, 4, Ratio(thousand->change, thousand->floor));
        if (thousand->idle) {
            goal("idle under 0.25% of one core at 1,000", thousand->idle->servicePercent, 0.25,
                 Fixed(thousand->idle->servicePercent, 3) + " %");
        }
        goal("VmHWM under 16 MiB at 1,000", thousand->vmhwmKib / 1024.0, 16,
             Fixed(thousand->vmhwmKib / 1024.0, 1) + " MiB");
        const double share =
            thousand->serviceCpu > 0 ? thousand->simulatorCpu / thousand->serviceCpu : -1;
        goal("simulator CPU under 1/3 of the service's at 1,000", share, 1.0 / 3,
             Ratio(thousand->simulatorCpu, thousand->serviceCpu) + " of it");
    }
    if (fiveThousand != nullptr) {
        goal("VmHWM under 32 MiB at 5,000", fiveThousand->vmhwmKib / 1024.0, 32,
             Fixed(fiveThousand->vmhwmKib / 1024.0, 1) + " MiB");
    }
    if (thousand != nullptr && fiveThousand != nullptr && thousand->change > 0 &&
        fiveThousand->change > 0) {
        std::printf(
            "| time per client, 1,000 to 5,000 clients (1.0 = linear) | %s ms to %s ms: "
            "x%s | - |\n",
            Fixed(1000 * thousand->change / 1000, 3).c_str(),
            Fixed(1000 * fiveThousand->change / 5000, 3).c_str(),
            Ratio(fiveThousand->change / 5000, thousand->change / 1000).c_str());
    }
}

void PrintTables(const Options& options, const std::vector<SizeFigures>& all,
                 const std::string& loadBefore) {
    utsname system{};
    uname(&system);
    const std::time_t now = std::time(nullptr);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    std::printf("Machine: %s, %ld online CPUs, Linux %s. Date: %s. Commit: %s.\n",
                FirstLineOf("/proc/cpuinfo", "model name").c_str(), sysconf(_SC_NPROCESSORS_ONLN),
                system.release, date, options.commit.c_str());
    std::printf("Load average (1, 5, 15 min) before: %s; after: %s.\n\n", loadBefore.c_str(),
                LoadAverage().c_str());

    std::printf(
        "Convergence in seconds, median of the rounds, from the simulator's own "
        "timestamps: start-up from the target's login to the last client's applied "
        "update; change from the target's new data being pushed to the last client's "
        "applied update.\n\n");
    std::printf(
        "| Clients | Rounds | Start-up | (from spawn) | Change | per client (ms) | Floor | "
        "Sequential | Service/floor | Sequential/service | Failures |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const SizeFigures& figures : all) {
        std::printf(
            "| %d | %d | %s | %s | %s | %s | %s | %s | %s | %s | %d |\n", figures.clients,
            figures.rounds, Fixed(figures.startup, 3).c_str(),
            Fixed(figures.startupFromSpawn, 3).c_str(), Fixed(figures.change, 3).c_str(),
            Fixed(figures.change < 0 ? -1 : 1000 * figures.change / figures.clients, 3).c_str(),
            Fixed(figures.floor, 3).c_str(), Fixed(figures.sequential, 3).c_str(),
            Ratio(figures.change, figures.floor).c_str(),
            Ratio(figures.sequential, figures.change).c_str(), figures.failures);
    }

    std::printf(
        "\nMemory and CPU: the service's peak resident memory (VmHWM), per client above "
        "the smallest fleet's, and the CPU time of the service and the simulator over all "
        "change rounds (the simulator's includes parsing the reloaded fleet file).\n\n");
    std::printf(
        "| Clients | VmHWM (MiB) | per client (KiB) | Service CPU (s) | Simulator CPU (s) | "
        "Simulator/service |\n|---:|---:|---:|---:|---:|---:|\n");
    const SizeFigures& smallest = all.front();
    for (const SizeFigures& figures : all) {
        const double perClient =
            figures.clients > smallest.clients && figures.vmhwmKib > 0 && smallest.vmhwmKib > 0
                ? static_cast<double>(figures.vmhwmKib - smallest.vmhwmKib) /
                      (figures.clients - smallest.clients)
                : -1;
        std::printf("| %d | %s | %s | %s | %s | %s |\n", figures.clients,
                    Fixed(figures.vmhwmKib / 1024.0, 1).c_str(), Fixed(perClient, 2).c_str(),
                    Fixed(figures.serviceCpu, 2).c_str(), Fixed(figures.simulatorCpu, 2).c_str(),
                    Ratio(figures.simulatorCpu, figures.serviceCpu).c_str());
    }

    std::printf(
        "\nIdle, target connected and every client closed, over %d s: CPU as %% of one "
        "core, context switches per second (all threads). The bare loop sleeps 100 ms "
        "on two threads.\n\n",
        options.idleSeconds);
    std::printf(
        "| Clients | Service CPU | Service switches/s | Bare loop CPU | Bare loop "
        "switches/s |\n|---:|---:|---:|---:|---:|\n");
    for (const SizeFigures& figures : all) {
        if (figures.idle) {
            std::printf("| %d | %s %% | %s | %s %% | %s |\n", figures.clients,
                        Fixed(figures.idle->servicePercent, 3).c_str(),
                        Fixed(figures.idle->serviceSwitches, 1).c_str(),
                        Fixed(figures.idle->barePercent, 3).c_str(),
                        Fixed(figures.idle->bareSwitches, 1).c_str());
        }
    }
    PrintGoals(all);
}

// Two threads waking every 100 ms and doing nothing else: the idle floor of a two-timer design.
[[noreturn]] void BareLoop() {
    std::thread other([] {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--bare-loop") {
        BareLoop();
    }
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    Options options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vaultline-bench: %s\n%s", error.what(), kUsage);
        return 1;
    }
    // Thousands of connections on each side; children inherit the raised limit.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    signal(SIGPIPE, SIG_IGN);
    // Scratch files (the simulator's state file and output, the service's log) on tmpfs when
    // the caller has not chosen: the simulator rewrites its state file many times per second,
    // and on a disk with synchronous discard that would be the simulator's largest cost.
    if (std::getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK) == 0) {
        setenv("TMPDIR", "/dev/shm", 1);
    }
    const std::string loadBefore = LoadAverage();
    std::vector<SizeFigures> all;
    for (const int clients : options.sizes) {
        const int rounds = clients >= 5000 ? std::min(options.rounds, 3) : options.rounds;
        const bool idle = std::find(options.idleSizes.begin(), options.idleSizes.end(), clients) !=
                          options.idleSizes.end();
        Progress("vaultline-bench: %d clients, %d rounds", clients, rounds);
        try {
            all.push_back(MeasureSize(clients, rounds, idle, options.idleSeconds));
        } catch (const std::exception& error) {
            Progress("vaultline-bench: %d clients: %s", clients, error.what());
            SizeFigures failed;
            failed.clients = clients;
            failed.failures = 1;
            all.push_back(failed);
        }
    }
    PrintTables(options, all, loadBefore);
    return 0;
}
