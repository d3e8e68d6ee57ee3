// Starting a fleet, reloading it with all-or-nothing semantics, and saving its state.
#include "fleet.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "event_log.h"
#include "state_file.h"

namespace simulator {
namespace {

std::string ListeningLine(const ArchiveServer& server) {
    return "listening name=" + LineValue(server.Name()) +
           " address=" + LineValue(server.Config().address) +
           " port=" + std::to_string(server.Port());
}

void PrintSeedIfRandom(const ServerConfig& config) {
    if (config.behaviour.dropProbability > 0 || config.behaviour.refuseProbability > 0) {
        PrintEvent("seed name=" + LineValue(config.name) +
                   " seed=" + std::to_string(config.behaviour.seed));
    }
}

}  // namespace

Fleet::Fleet(EventLoop& loop, std::string fleetPath, std::string statePath)
    : loop_(loop), fleetPath_(std::move(fleetPath)), statePath_(std::move(statePath)) {
    loop_.OnTurnEnd([this] {
        if (stateChanged_) {
            SaveState();
        }
        FlushEvents();
    });
}

Fleet::~Fleet() {
    loop_.OnTurnEnd(nullptr);
}

std::unique_ptr<ArchiveServer> Fleet::Launch(ServerConfig config, Listener listener) {
    auto server = std::make_unique<ArchiveServer>(loop_, std::move(config), std::move(listener),
                                                  [this] { stateChanged_ = true; });
    if (!server->StartAccepting()) {
        return nullptr;
    }
    return server;
}

std::string Fleet::Start() {
    FleetParse parse = ParseFleetFile(fleetPath_);
    if (!parse.fleet) {
        return parse.error;
    }
    for (ServerConfig& config : parse.fleet->servers) {
        Listener listener = OpenListener(config.address, config.port);
        if (listener.fd < 0) {
            return "server \"" + config.name + "\": " + listener.error;
        }
        const std::string name = config.name;
        auto server = Launch(std::move(config), std::move(listener));
        if (server == nullptr) {
            return "server \"" + name + "\": cannot watch its listener";
        }
        servers_.push_back(std::move(server));
    }
    if (std::string error = WriteStateFile(statePath_, StateElements()); !error.empty()) {
        return error;
    }
    for (const auto& server : servers_) {
        PrintEvent(ListeningLine(*server));
        PrintSeedIfRandom(server->Config());
    }
    PrintEvent("ready servers=" + std::to_string(servers_.size()));
    return {};
}

void Fleet::ReportReloadError(const std::string& reason) const {
    PrintProblem("reload failed, keeping the running fleet: " + reason);
    PrintEvent("reload result=error reason=" + LineValue(reason));
}

void Fleet::Reload() {
    FleetParse parse = ParseFleetFile(fleetPath_);
    if (!parse.fleet) {
        ReportReloadError(parse.error);
        return;
    }

    // First everything that can fail: new listeners for added or moved servers.
    struct Planned {
        ServerConfig config;
        ArchiveServer* kept = nullptr;
        std::unique_ptr<ArchiveServer> launched;
    };
    // Running servers by name (names are unique in a fleet), so matching stays linear.
    std::unordered_map<std::string, std::size_t> running;
    for (std::size_t index = 0; index < servers_.size(); ++index) {
        running.emplace(servers_[index]->Name(), index);
    }
    std::vector<Planned> plan;
    for (ServerConfig& config : parse.fleet->servers) {
        Planned planned;
        if (const auto found = running.find(config.name); found != running.end()) {
            ArchiveServer& server = *servers_[found->second];
            if (server.Config().address == config.address &&
                (config.port == 0 || config.port == server.Port())) {
                planned.kept = &server;
            }
        }
        if (planned.kept == nullptr) {
            Listener listener = OpenListener(config.address, config.port);
            if (listener.fd < 0) {
                ReportReloadError("server \"" + config.name + "\": " + listener.error);
                return;  // listeners opened so far close with `plan`
            }
            planned.launched = Launch(config, std::move(listener));
            if (planned.launched == nullptr) {
                ReportReloadError("server \"" + config.name + "\": cannot watch its listener");
                return;
            }
        }
        planned.config = std::move(config);
        plan.push_back(std::move(planned));
    }

    // Then the commit, which cannot fail.
    int changed = 0;
    int added = 0;
    int restarted = 0;
    std::vector<std::unique_ptr<ArchiveServer>> next;
    for (Planned& planned : plan) {
        const auto found = running.find(planned.config.name);
        const bool existed = found != running.end();
        const std::size_t index = existed ? found->second : 0;
        if (existed) {
            running.erase(found);  // what is left in `running` was removed
        }
        if (planned.kept != nullptr) {
            changed += planned.kept->Reconfigure(planned.config) ? 1 : 0;
            next.push_back(std::move(servers_[index]));
            continue;
        }
        (existed ? restarted : added) += 1;
        PrintEvent(ListeningLine(*planned.launched));
        PrintSeedIfRandom(planned.launched->Config());
        next.push_back(std::move(planned.launched));
    }
    const auto removed = running.size();
    servers_.swap(next);
    next.clear();  // servers removed or restarted stop here, ending their sessions
    SaveState();
    PrintEvent("reload result=ok servers=" + std::to_string(servers_.size()) +
               " changed=" + std::to_string(changed) + " added=" + std::to_string(added) +
               " removed=" + std::to_string(removed) + " restarted=" + std::to_string(restarted));
}

std::vector<const std::string*> Fleet::StateElements() {
    std::vector<const std::string*> elements;
    elements.reserve(servers_.size());
    for (const auto& server : servers_) {
        elements.push_back(&server->StateElement());
    }
    return elements;
}

void Fleet::SaveState() {
    stateChanged_ = false;
    if (std::string error = WriteStateFile(statePath_, StateElements()); !error.empty()) {
        PrintProblem(error);
    }
}

}  // namespace simulator
