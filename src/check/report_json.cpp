// The findings as one JSON document for scripts, and the names both reports share.
#include <nlohmann/json.hpp>

#include "check/report.h"

namespace vaultline {

namespace {

using Json = nlohmann::ordered_json;

const char* TargetStatus(const TargetFinding& target) {
    if (target.reach == Reach::DataRead) {
        return target.Usable() ? "ok" : "no usable address";
    }
    return ReachName(target.reach);
}

Json AdapterJson(const AdapterFinding& adapter) {
    Json json{{"index", adapter.index}, {"readable", !adapter.queryFailed}};
    if (adapter.queryFailed) {
        return json;
    }
    json["connected"] = adapter.connected;
    json["dhcp"] = adapter.dhcp;
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
    if (target.reach != Reach::DataRead) {
        return json;
    }
    Json adapters = Json::array();
    for (const AdapterFinding& adapter : target.adapters) {
        adapters.push_back(AdapterJson(adapter));
    }
    json["adapters"] = std::move(adapters);
    json["chosenAdapter"] = target.chosen ? Json(*target.chosen) : Json(nullptr);
    json["reason"] = ChoiceReason(target);
    json["archiveAddress"] = target.Usable() ? Json(target.archiveAddress) : Json(nullptr);
    return json;
}

Json ClientJson(const ClientFinding& client) {
    Json json{{"address", client.address},
              {"port", client.port},
              {"verdict", VerdictName(client.verdict)}};
    if (client.verdict == Verdict::Correct || client.verdict == Verdict::WouldRewrite ||
        client.verdict == Verdict::BadFormat) {
        json["path"] = client.path;
    }
    if (client.verdict == Verdict::WouldRewrite) {
        json["newPath"] = client.newPath;
    }
    json["severalEnabledTargets"] = client.severalEnabled;
    return json;
}

}  // namespace

const char* VerdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::Correct:
            return "correct";
        case Verdict::WouldRewrite:
            return "would rewrite";
        case Verdict::BadFormat:
            return "bad format";
        case Verdict::NoEnabledTarget:
            return "no enabled target";
        case Verdict::LoginRefused:
            return ReachName(Reach::LoginRefused);
        case Verdict::Unreachable:
            return ReachName(Reach::Unreachable);
        case Verdict::TimedOut:
            return ReachName(Reach::TimedOut);
        case Verdict::Interrupted:
            return ReachName(Reach::Interrupted);
    }
    return "unknown";
}

const char* ReachName(Reach reach) {
    switch (reach) {
        case Reach::DataRead:
            return "reached";
        case Reach::Unreachable:
            return "unreachable";
        case Reach::LoginRefused:
            return "login refused";
        case Reach::TimedOut:
            return "timed out";
        case Reach::Interrupted:
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
