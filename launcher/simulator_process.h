// Running archive-simulator for a test or a benchmark: writing its fleet file, learning its ports,
// reloading it and reading its state file.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "launcher/child_process.h"

namespace launcher {

struct FleetAdapter {
    std::string name;
    std::string description;
    std::string mac;
    std::string ip;
    bool connected = true;
    bool dhcp = true;
};

struct FleetTarget {
    int id = 0;
    bool enabled = true;
    std::string path;
};

struct FleetServer {
    std::string name;
    std::string address = "127.0.0.1";
    unsigned port = 0;  // 0: the simulator picks a free port
    std::string username = "admin";
    std::string password = "secret";
    // Further <Server> attributes, written as given: refuseLogin, replyDelayMs,
    // dropAfterLoginMs, rejectUpdates, closeAfterUpdate, dropProbability, refuseProbability, seed.
    std::map<std::string, std::string> knobs;
    std::vector<FleetAdapter> adapters;
    std::vector<FleetTarget> targets;
};

// The fleet file for `servers`, every value escaped for XML.
std::string FleetXml(const std::vector<FleetServer>& servers);

// archive-simulator playing a fleet, with its fleet and state files in a temporary directory.
// The constructor returns once the simulator printed "ready" and throws std::runtime_error
// (carrying the simulator's stderr) if it does not within `startTimeout`. The destructor stops it.
class SimulatorProcess {
public:
    // `extraArguments` follow the fleet and state options (for example "--timestamps").
    explicit SimulatorProcess(const std::string& fleetXml,
                              std::chrono::seconds startTimeout = std::chrono::seconds(20),
                              const std::vector<std::string>& extraArguments = {});
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    // The port a server listens on, from the simulator's "listening" lines; 0 if unknown.
    unsigned Port(const std::string& name) const;

    // Rewrites the fleet file, giving servers with port 0 the port already assigned to that
    // name, sends SIGHUP and waits for the simulator's "reload" line. True when it reports
    // result=ok. A reload resets every target path to the file's value, including paths a
    // client has changed since.
    bool Reload(std::vector<FleetServer> fleet);
    // The same with a fleet file written by the caller, ports and all.
    bool ReloadXml(const std::string& fleetXml);

    // The path of target `id` of `server` in the state file; empty when there is none.
    std::string TargetPath(const std::string& server, int id) const;

    // Sends SIGTERM and returns the exit status, or -1 when it does not end within 10 s.
    int Stop();

    ChildProcess& Process() { return *process_; }
    const ChildProcess& Process() const { return *process_; }
    const std::filesystem::path& FleetPath() const { return fleetPath_; }
    const std::filesystem::path& StatePath() const { return statePath_; }

private:
    void ReadPorts();

    TempDirectory directory_;
    std::filesystem::path fleetPath_;
    std::filesystem::path statePath_;
    std::unique_ptr<ChildProcess> process_;
    std::map<std::string, unsigned> ports_;
};

}  // namespace launcher
