// Fleet file writing, simulator start-up and reloads, output and state file parsing.
#include "launcher/simulator_process.h"

#include <signal.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include <tinyxml2.h>

namespace launcher {
namespace {

constexpr auto kReloadTimeout = std::chrono::seconds(10);

std::string Escaped(const std::string& text) {
    std::string escaped;
    for (const char character : text) {
        switch (character) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&apos;";
                break;
            default:
                if (static_cast<unsigned char>(character) < 0x20) {
                    char reference[8];
                    std::snprintf(reference, sizeof reference, "&#x%X;", character);
                    escaped += reference;
                } else {
                    escaped += character;
                }
        }
    }
    return escaped;
}

std::string Attribute(const std::string& name, const std::string& value) {
    return " " + name + "=\"" + Escaped(value) + "\"";
}

std::string Flag(bool value) {
    return value ? "true" : "false";
}

// Undoes the simulator's %XX escaping of line values.
std::string Unescaped(const std::string& value) {
    std::string text;
    for (std::size_t index = 0; index < value.size(); ++index) {
        if (value[index] == '%' && index + 2 < value.size() &&
            std::isxdigit(static_cast<unsigned char>(value[index + 1])) &&
            std::isxdigit(static_cast<unsigned char>(value[index + 2]))) {
            text += static_cast<char>(std::stoi(value.substr(index + 1, 2), nullptr, 16));
            index += 2;
        } else {
            text += value[index];
        }
    }
    return text;
}

std::size_t CountOccurrences(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

std::string FleetXml(const std::vector<FleetServer>& servers) {
    std::string xml = "<Fleet>\n";
    for (const FleetServer& server : servers) {
        xml += "  <Server" + Attribute("name", server.name) + Attribute("address", server.address) +
               Attribute("port", std::to_string(server.port)) +
               Attribute("username", server.username) + Attribute("password", server.password);
        for (const auto& [knob, value] : server.knobs) {
            xml += Attribute(knob, value);
        }
        xml += ">\n";
        for (const FleetAdapter& adapter : server.adapters) {
            xml += "    <Adapter" + Attribute("name", adapter.name) +
                   Attribute("description", adapter.description) + Attribute("mac", adapter.mac) +
                   Attribute("ip", adapter.ip) + Attribute("connected", Flag(adapter.connected)) +
                   Attribute("dhcp", Flag(adapter.dhcp)) + "/>\n";
        }
        for (const FleetTarget& target : server.targets) {
            xml += "    <Target" + Attribute("id", std::to_string(target.id)) +
                   Attribute("enabled", Flag(target.enabled)) + Attribute("path", target.path) +
                   "/>\n";
        }
        xml += "  </Server>\n";
    }
    return xml + "</Fleet>\n";
}

SimulatorProcess::SimulatorProcess(const std::string& fleetXml, std::chrono::seconds startTimeout,
                                   const std::vector<std::string>& extraArguments) {
    fleetPath_ = directory_.WriteFile("fleet.xml", fleetXml);
    statePath_ = directory_.Path() / "state.xml";
    std::vector<std::string> arguments = {ARCHIVE_SIMULATOR_BINARY, "--fleet", fleetPath_.string(),
                                          "--state", statePath_.string()};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    process_ = std::make_unique<ChildProcess>(arguments, directory_.Path());
    const bool ready = WaitUntil(
        [&] {
            return process_->Stdout().find("ready servers=") != std::string::npos ||
                   process_->Wait(std::chrono::milliseconds(0)).has_value();
        },
        startTimeout);
    if (!ready || process_->Stdout().find("ready servers=") == std::string::npos) {
        throw std::runtime_error("archive-simulator did not become ready: " + process_->Stderr());
    }
    ReadPorts();
}

SimulatorProcess::~SimulatorProcess() {
    Stop();
}

void SimulatorProcess::ReadPorts() {
    std::istringstream lines(process_->Stdout());
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string kind;
        std::string field;
        std::string name;
        unsigned port = 0;
        fields >> kind;
        if (kind != "listening") {
            continue;
        }
        while (fields >> field) {
            if (field.rfind("name=", 0) == 0) {
                name = Unescaped(field.substr(5));
            } else if (field.rfind("port=", 0) == 0) {
                port = static_cast<unsigned>(std::stoul(field.substr(5)));
            }
        }
        ports_[name] = port;  // a later line (after a reload) wins
    }
}

unsigned SimulatorProcess::Port(const std::string& name) const {
    const auto found = ports_.find(name);
    return found == ports_.end() ? 0 : found->second;
}

bool SimulatorProcess::Reload(std::vector<FleetServer> fleet) {
    for (FleetServer& server : fleet) {
        if (server.port == 0) {
            server.port = Port(server.name);
        }
    }
    return ReloadXml(FleetXml(fleet));
}

bool SimulatorProcess::ReloadXml(const std::string& fleetXml) {
    directory_.WriteFile("fleet.xml", fleetXml);
    const std::string marker = "reload result=";
    const std::size_t before = CountOccurrences(process_->Stdout(), marker);
    process_->Signal(SIGHUP);
    WaitUntil([&] { return CountOccurrences(process_->Stdout(), marker) > before; },
              kReloadTimeout);
    ReadPorts();
    const std::string out = process_->Stdout();
    const auto last = out.rfind(marker);
    return CountOccurrences(out, marker) > before &&
           out.compare(last, marker.size() + 2, marker + "ok") == 0;
}

std::string SimulatorProcess::TargetPath(const std::string& server, int id) const {
    tinyxml2::XMLDocument document;
    if (document.LoadFile(statePath_.c_str()) != tinyxml2::XML_SUCCESS ||
        document.RootElement() == nullptr) {
        return {};
    }
    for (auto* element = document.RootElement()->FirstChildElement("Server"); element != nullptr;
         element = element->NextSiblingElement("Server")) {
        if (server != (element->Attribute("name") ? element->Attribute("name") : "")) {
            continue;
        }
        for (auto* target = element->FirstChildElement("Target"); target != nullptr;
             target = target->NextSiblingElement("Target")) {
            if (target->IntAttribute("id", -1) == id && target->Attribute("path") != nullptr) {
                return target->Attribute("path");
            }
        }
    }
    return {};
}

int SimulatorProcess::Stop() {
    if (const auto status = process_->Wait(std::chrono::milliseconds(0))) {
        return *status;
    }
    process_->Signal(SIGTERM);
    return process_->Wait(std::chrono::seconds(10)).value_or(-1);
}

}  // namespace launcher
