// The fleet file: the archive servers one simulator plays, read from XML and checked.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simulator {

// Longest text a fleet file may give an adapter or target, so every record fits in one frame.
constexpr std::size_t kMaxTextBytes = 16000;

struct AdapterConfig {
    std::string name;
    std::string description;
    std::string mac;
    std::string ip = "0.0.0.0";
    bool connected = true;
    bool dhcp = true;

    bool operator==(const AdapterConfig& other) const;
};

struct TargetConfig {
    int32_t id = 0;
    bool enabled = true;
    std::string path;

    bool operator==(const TargetConfig& other) const;
};

// How a server treats its clients; fixed for a connection when it is accepted.
struct ServerBehaviour {
    std::string username;
    std::string password;
    bool refuseLogin = false;
    uint32_t replyDelayMs = 0;
    uint32_t dropAfterLoginMs = 0;
    bool rejectUpdates = false;
    bool closeAfterUpdate = true;
    double dropProbability = 0;
    double refuseProbability = 0;
    uint64_t seed = 1;
};

struct ServerConfig {
    std::string name;
    std::string address = "127.0.0.1";
    uint16_t port = 0;  // 0: any free port
    ServerBehaviour behaviour;
    std::vector<AdapterConfig> adapters;
    std::vector<TargetConfig> targets;
};

struct FleetConfig {
    std::vector<ServerConfig> servers;
};

// A fleet, or the first problem found in the file (naming the server and attribute).
struct FleetParse {
    std::optional<FleetConfig> fleet;
    std::string error;
};

FleetParse ParseFleetFile(const std::string& path);

}  // namespace simulator
