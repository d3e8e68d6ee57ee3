// Reading a fleet file with tinyxml2, checking every attribute and naming the first bad one.
#include "fleet_config.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <initializer_list>
#include <set>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <tinyxml2.h>

namespace simulator {
namespace {

using tinyxml2::XMLElement;

// Reads one element's attributes into typed values. The first problem is kept in `error`,
// which names the element and the attribute; later reads are skipped.
class AttributeReader {
public:
    AttributeReader(const XMLElement& element, std::string where,
                    std::initializer_list<const char*> known, std::string& error)
        : element_(element), where_(std::move(where)), error_(error) {
        const std::set<std::string> knownNames(known.begin(), known.end());
        for (auto* attribute = element.FirstAttribute(); attribute != nullptr;
             attribute = attribute->Next()) {
            if (knownNames.count(attribute->Name()) == 0) {
                Fail(attribute->Name(), "unknown attribute");
            }
        }
    }

    void Text(const char* name, std::string& out, bool required) {
        const char* value = Raw(name, required);
        if (value == nullptr) {
            return;
        }
        if (std::string(value).size() > kMaxTextBytes) {
            Fail(name, "longer than " + std::to_string(kMaxTextBytes) + " bytes");
            return;
        }
        out = value;
    }

    void Bool(const char* name, bool& out) {
        const char* value = Raw(name, false);
        if (value == nullptr) {
            return;
        }
        const std::string text = value;
        if (text == "true" || text == "1") {
            out = true;
        } else if (text == "false" || text == "0") {
            out = false;
        } else {
            Fail(name, "\"" + text + "\" is not true, false, 1 or 0");
        }
    }

    template <class Number>
    void Whole(const char* name, Number& out, uint64_t max, bool required) {
        const char* value = Raw(name, required);
        if (value == nullptr) {
            return;
        }
        const std::string text = value;
        const auto digits = text.find_first_not_of("0123456789");
        errno = 0;
        const unsigned long long parsed = std::strtoull(text.c_str(), nullptr, 10);
        if (text.empty() || digits != std::string::npos || errno == ERANGE || parsed > max) {
            Fail(name, "\"" + text + "\" is not a whole number in 0.." + std::to_string(max));
            return;
        }
        out = static_cast<Number>(parsed);
    }

    void Probability(const char* name, double& out) {
        const char* value = Raw(name, false);
        if (value == nullptr) {
            return;
        }
        const std::string text = value;
        char* end = nullptr;
        const double parsed = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !std::isfinite(parsed) || parsed < 0 || parsed > 1) {
            Fail(name, "\"" + text + "\" is not a number in [0,1]");
            return;
        }
        out = parsed;
    }

    void Fail(const std::string& name, const std::string& problem) {
        if (error_.empty()) {
            error_ = where_ + ": attribute " + name + ": " + problem;
        }
    }

private:
    const char* Raw(const char* name, bool required) {
        if (!error_.empty()) {
            return nullptr;
        }
        const char* value = element_.Attribute(name);
        if (value == nullptr && required) {
            Fail(name, "missing");
        }
        return value;
    }

    const XMLElement& element_;
    std::string where_;
    std::string& error_;
};

std::string Where(const XMLElement& element, const std::string& what) {
    return what + " (line " + std::to_string(element.GetLineNum()) + ")";
}

// The address's bytes (4 or 16), so that two spellings of one IPv6 address compare equal; empty
// when it is not a numeric IPv4 or IPv6 address.
std::string AddressBytes(const std::string& address) {
    unsigned char buffer[sizeof(in6_addr)];
    if (inet_pton(AF_INET, address.c_str(), buffer) == 1) {
        return std::string(reinterpret_cast<const char*>(buffer), sizeof(in_addr));
    }
    if (inet_pton(AF_INET6, address.c_str(), buffer) == 1) {
        return std::string(reinterpret_cast<const char*>(buffer), sizeof(in6_addr));
    }
    return {};
}

void ReadAdapter(const XMLElement& element, const std::string& where, ServerConfig& server,
                 std::string& error) {
    AdapterConfig adapter;
    AttributeReader reader(element, where,
                           {"name", "description", "mac", "ip", "connected", "dhcp"}, error);
    reader.Text("name", adapter.name, true);
    reader.Text("description", adapter.description, false);
    reader.Text("mac", adapter.mac, false);
    reader.Text("ip", adapter.ip, false);
    reader.Bool("connected", adapter.connected);
    reader.Bool("dhcp", adapter.dhcp);
    server.adapters.push_back(std::move(adapter));
}

// `ids` holds the ids of the server's targets read so far.
void ReadTarget(const XMLElement& element, const std::string& where, ServerConfig& server,
                std::unordered_set<int32_t>& ids, std::string& error) {
    TargetConfig target;
    AttributeReader reader(element, where, {"id", "enabled", "path"}, error);
    reader.Whole("id", target.id, INT32_MAX, true);
    reader.Bool("enabled", target.enabled);
    reader.Text("path", target.path, false);
    if (error.empty() && !ids.insert(target.id).second) {
        reader.Fail("id", "target id " + std::to_string(target.id) + " appears twice");
    }
    server.targets.push_back(std::move(target));
}

ServerConfig ReadServer(const XMLElement& element, int position, std::string& error) {
    ServerConfig server;
    const char* name = element.Attribute("name");
    const std::string where =
        Where(element, name != nullptr ? "server \"" + std::string(name) + "\""
                                       : "server #" + std::to_string(position));
    AttributeReader reader(element, where,
                           {"name", "address", "port", "username", "password", "refuseLogin",
                            "replyDelayMs", "dropAfterLoginMs", "rejectUpdates", "closeAfterUpdate",
                            "dropProbability", "refuseProbability", "seed"},
                           error);
    ServerBehaviour& behaviour = server.behaviour;
    reader.Text("name", server.name, true);
    reader.Text("address", server.address, false);
    if (error.empty() && AddressBytes(server.address).empty()) {
        reader.Fail("address", "\"" + server.address + "\" is not a numeric IPv4 or IPv6 address");
    }
    reader.Whole("port", server.port, 65535, true);
    reader.Text("username", behaviour.username, true);
    reader.Text("password", behaviour.password, true);
    reader.Bool("refuseLogin", behaviour.refuseLogin);
    reader.Whole("replyDelayMs", behaviour.replyDelayMs, 3600000, false);
    reader.Whole("dropAfterLoginMs", behaviour.dropAfterLoginMs, 3600000, false);
    reader.Bool("rejectUpdates", behaviour.rejectUpdates);
    reader.Bool("closeAfterUpdate", behaviour.closeAfterUpdate);
    reader.Probability("dropProbability", behaviour.dropProbability);
    reader.Probability("refuseProbability", behaviour.refuseProbability);
    reader.Whole("seed", behaviour.seed, UINT64_MAX, false);

    int adapters = 0;
    int targets = 0;
    std::unordered_set<int32_t> targetIds;
    for (auto* child = element.FirstChildElement(); child != nullptr && error.empty();
         child = child->NextSiblingElement()) {
        const std::string kind = child->Name();
        if (kind == "Adapter") {
            ReadAdapter(*child, Where(*child, where + ", adapter " + std::to_string(++adapters)),
                        server, error);
        } else if (kind == "Target") {
            ReadTarget(*child, Where(*child, where + ", target " + std::to_string(++targets)),
                       server, targetIds, error);
        } else {
            error = Where(*child, where + ": unknown element <" + kind + ">");
        }
    }
    if (error.empty() && (server.adapters.size() > 65535 || server.targets.size() > 65535)) {
        error = where + ": more than 65535 adapters or targets";
    }
    return server;
}

FleetParse ReadFleet(const tinyxml2::XMLDocument& document) {
    FleetParse result;
    const XMLElement* root = document.RootElement();
    if (root == nullptr || std::string(root->Name()) != "Fleet") {
        result.error = "the root element must be <Fleet>";
        return result;
    }
    FleetConfig fleet;
    std::string& error = result.error;
    int position = 0;
    std::unordered_set<std::string> names;
    // Nonzero ports with their address, and the index of the server listening there: real
    // clients all listen on one port, each on an address of its own.
    std::unordered_map<std::string, std::size_t> endpoints;
    for (auto* element = root->FirstChildElement(); element != nullptr && error.empty();
         element = element->NextSiblingElement()) {
        if (std::string(element->Name()) != "Server") {
            error = Where(*element, "unknown element <" + std::string(element->Name()) + ">");
            break;
        }
        ServerConfig server = ReadServer(*element, ++position, error);
        if (!error.empty()) {
            break;
        }
        const auto where = [&] { return Where(*element, "server \"" + server.name + "\""); };
        const std::string endpoint = AddressBytes(server.address) + std::to_string(server.port);
        if (!names.insert(server.name).second) {
            error = where() + ": attribute name: \"" + server.name + "\" appears twice";
        } else if (server.port != 0) {
            const auto [earlier, added] = endpoints.emplace(endpoint, fleet.servers.size());
            if (!added) {
                const ServerConfig& other = fleet.servers[earlier->second];
                error = where() + ": attribute port: " + std::to_string(server.port) + " on " +
                        server.address + " is already the port of server \"" + other.name +
                        "\" on " + other.address;
            }
        }
        fleet.servers.push_back(std::move(server));
    }
    if (error.empty()) {
        result.fleet = std::move(fleet);
    }
    return result;
}

}  // namespace

bool AdapterConfig::operator==(const AdapterConfig& other) const {
    return std::tie(name, description, mac, ip, connected, dhcp) ==
           std::tie(other.name, other.description, other.mac, other.ip, other.connected,
                    other.dhcp);
}

bool TargetConfig::operator==(const TargetConfig& other) const {
    return std::tie(id, enabled, path) == std::tie(other.id, other.enabled, other.path);
}

FleetParse ParseFleetFile(const std::string& path) {
    tinyxml2::XMLDocument document;
    if (document.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        FleetParse result;
        result.error = "cannot read fleet file " + path + ": " + document.ErrorStr();
        return result;
    }
    FleetParse result = ReadFleet(document);
    if (!result.error.empty()) {
        result.error = path + ": " + result.error;
    }
    return result;
}

}  // namespace simulator
