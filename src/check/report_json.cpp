// The findings as one JSON document for scripts, and the names both reports share.
#include <cstddef>

#include <nlohmann/json.hpp>

#include "check/report.h"

namespace vaultline {

namespace {

using Json = nlohmann::ordered_json;

// What the service would record, in the dry run's words: it rewrites nothing, and a connection
// that got nowhere in time has timed out. A dry run never updates, so never fails to.
const char* OutcomeName(ClientOutcome outcome) {
    switch (outcome) {
        case ClientOutcome::Correct:
            return "correct";
        case ClientOutcome::Rewritten:
            return "would rewrite";
        case ClientOutcome::BadFormat:
            return "bad format";
        case ClientOutcome::NoTarget:
            return "no enabled target";
        case ClientOutcome::LoginRefused:
            return "login refused";
        case ClientOutcome::Unreachable:
            return "unreachable";
        case ClientOutcome::Stalled:
            return "timed out";
        case ClientOutcome::UpdateFailed:
        case ClientOutcome::NotApplied:
            break;
    }
    return "unknown";
}

const char* TargetStatus(const TargetFinding& target) {
    if (target.reach.Read()) {
        return target.Usable() ? "ok" : "no usable address";
    }
    return ReachName(target.reach);
}

Json AdapterJson(std::size_t index, const AdapterRecord& adapter) {
    Json json{{"index", index}, {"readable", !adapter.queryFailed}};
    if (adapter.queryFailed) {
        return json;
    }
    json["connected"] = adapter.connected != 0;
    json["dhcp"] = adapter.dhcp != 0;
    json["textsReadable"] = !adapter.textsFailed;
    if (!adapter.textsFailed) {
        json["name"] = adapter.name;
        json["description"] = adapter.description;
        json["ip"] = adapter.ip;
        json["mac"] = adapter.mac;
    }
    return json;
}

Json TargetJson(const TargetFinding& target) {
    Json json{{"address", target.address}, {"port", target.port}, {"status", TargetStatus(target)}};
    if (!target.reach.Read()) {
        return json;
    }
    Json adapters = Json::array();
    for (std::size_t index = 0; index < target.adapters.size(); ++index) {
        adapters.push_back(AdapterJson(index, target.adapters[index]));
    }
    json["adapters"] = std::move(adapters);
    json["chosenAdapter"] = target.chosen ? Json(*target.chosen) : Json(nullptr);
    json["reason"] = ChoiceReason(target);
    json["archiveAddress"] = target.Usable() ? Json(target.archiveAddress) : Json(nullptr);
    return json;
}

Json ClientJson(const ClientFinding& client) {
    Json json{{"address", client.address}, {"port", client.port}, {"verdict", VerdictName(client)}};
    if (client.Is(ClientOutcome::Correct) || client.Is(ClientOutcome::Rewritten) ||
        client.Is(ClientOutcome::BadFormat)) {
        json["path"] = client.path;
    }
    if (client.Is(ClientOutcome::Rewritten)) {
        json["newPath"] = client.newPath;
    }
    json["severalEnabledTargets"] = client.severalEnabled;
    return json;
}

}  // namespace

const char* VerdictName(const ClientFinding& client) {
    return client.interrupted ? "interrupted" : OutcomeName(client.outcome);
}

const char* ReachName(const Reach& reach) {
    switch (reach.end) {
        case Reach::End::DataRead:
            return "reached";
        case Reach::End::Failed:
            return OutcomeName(reach.failure);
        case Reach::End::Interrupted:
            return "interrupted";
    }
    return "unknown";
}

std::string ChoiceReason(const TargetFinding& target) {
    const std::string index = target.chosen ? std::to_string(*target.chosen) : "";
    switch (target.problem) {
        case TargetProblem::None:
            if (!target.chosen) {
                return "";
            }
            return target.adapters[*target.chosen].dhcp
                       ? "the first connected adapter with DHCP"
                       : "the first connected adapter; no connected adapter has DHCP";
        case TargetProblem::NoNetworkInfo:
            return "failed to get network info";
        case TargetProblem::NoConnectedAdapter:
            return "no connected network adapters found";
        case TargetProblem::ChosenUnreadable:
            return "failed to re-get network adapter, index " + index;
        case TargetProblem::ChosenTextsFailed:
            return "failed to populate network adapter, index " + index;
        case TargetProblem::NoAddress:
            return "adapter " + index + " has no address";
        case TargetProblem::NotIPv4:
            return "adapter " + index + " address is not an IPv4 address";
    }
    return "";
}

void WriteJsonReport(std::ostream& out, const Findings& findings) {
    Json document;
    document["target"] = TargetJson(findings.target);
    Json clients = Json::array();
    for (const ClientFinding& client : findings.clients) {
        clients.push_back(ClientJson(client));
    }
    document["clients"] = std::move(clients);
    document["exitStatus"] = ExitStatus(findings);
    out << document.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace) << "\n";
}

}  // namespace vaultline
