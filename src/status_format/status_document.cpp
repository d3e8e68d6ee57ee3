// The status file's contents as plain data, and their one JSON form, written by the service and
// read back, validated, by vaultline-status.
#include "status_format/status_document.h"

#include <algorithm>

#include <nlohmann/json.hpp>

namespace vaultline {

// Keys stay in the order written, so the file reads from the top down: format, service, target.
using json = nlohmann::ordered_json;

const char* const kOutcomeCorrect = "correct";
const char* const kOutcomeRewritten = "rewritten";
const char* const kOutcomeAwaitingConfirmation = "awaiting confirmation";
const char* const kOutcomeNotChecked = "not yet checked";
const char* const kConnectionLoggedIn = "logged in";

const std::vector<std::string>& StatusOutcomes() {
    static const std::vector<std::string> outcomes{
        kOutcomeCorrect,      kOutcomeRewritten, kOutcomeAwaitingConfirmation,
        "unreachable",        "login refused",   "no target",
        "bad format",         "update failed",   "stalled",
        "update not applied", kOutcomeNotChecked};
    return outcomes;
}

bool IsSettledOutcome(const std::string& outcome) {
    return outcome == kOutcomeCorrect || outcome == kOutcomeRewritten ||
           outcome == kOutcomeAwaitingConfirmation;
}

const std::vector<std::string>& ConnectionStates() {
    static const std::vector<std::string> states{"closed", "open", kConnectionLoggedIn};
    return states;
}

namespace {

json Time(const StatusTime& time) {
    return time ? json(*time) : json(nullptr);
}

// A time field: null or whole seconds.
StatusTime ReadTime(const json& object, const char* key) {
    const json& value = object.at(key);
    if (value.is_null()) {
        return std::nullopt;
    }
    if (!value.is_number_integer()) {
        throw std::invalid_argument(std::string("\"") + key + "\" is not a time");
    }
    return value.get<int64_t>();
}

// A field of the given kind; the library's own message would name no field.
template <class T>
T Read(const json& object, const char* key) {
    const json& value = object.at(key);
    const bool fits = std::is_same_v<T, std::string> ? value.is_string()
                      : std::is_same_v<T, bool>      ? value.is_boolean()
                                                     : value.is_number_integer();
    if (!fits) {
        throw std::invalid_argument(std::string("\"") + key + "\" has the wrong type");
    }
    return value.get<T>();
}

std::string ReadChoice(const json& object, const char* key,
                       const std::vector<std::string>& allowed) {
    std::string value = Read<std::string>(object, key);
    if (std::find(allowed.begin(), allowed.end(), value) == allowed.end()) {
        throw std::invalid_argument(std::string("\"") + key + "\" has an unknown value");
    }
    return value;
}

std::map<std::string, int64_t> ReadCounts(const json& object, const char* key) {
    std::map<std::string, int64_t> counts;
    const json& value = object.at(key);
    if (!value.is_object()) {
        throw std::invalid_argument(std::string("\"") + key + "\" is not an object");
    }
    for (const auto& [name, count] : value.items()) {
        if (!count.is_number_integer()) {
            throw std::invalid_argument(std::string("\"") + key +
                                        "\" holds a count that is not a number");
        }
        counts[name] = count.get<int64_t>();
    }
    return counts;
}

StatusDocument ReadDocument(const json& root) {
    StatusDocument document;
    const json& service = root.at("service");
    document.pid = Read<int64_t>(service, "pid");
    document.started = Read<int64_t>(service, "started");
    document.updated = Read<int64_t>(service, "updated");
    document.state = ReadChoice(service, "state", {"running", "stopped"});

    const json& target = root.at("target");
    document.targetServer = Read<std::string>(target, "server");
    document.connection = ReadChoice(target, "connection", ConnectionStates());
    document.connectionSince = ReadTime(target, "connection_since");
    document.currentAddress = Read<std::string>(target, "address");
    document.addressSince = ReadTime(target, "address_since");
    for (const json& entry : target.at("history")) {
        document.history.push_back(
            {Read<std::string>(entry, "address"), Read<int64_t>(entry, "learned")});
    }

    const json& rechecks = root.at("rechecks");
    document.rechecksOn = Read<bool>(rechecks, "on");
    document.nextRecheck = ReadTime(rechecks, "next_due");
    document.lastSettled = ReadTime(rechecks, "last_settled");

    const json& counters = root.at("counters");
    document.failures = ReadCounts(counters, "failures");
    document.onChangeRuns = ReadCounts(counters, "on_change_runs");
    for (const auto& [name, count] : counters.items()) {
        if (name != "failures" && name != "on_change_runs") {
            if (!count.is_number_integer()) {
                throw std::invalid_argument("counter \"" + name + "\" is not a number");
            }
            document.counters[name] = count.get<int64_t>();
        }
    }

    for (const json& entry : root.at("clients")) {
        StatusClient client;
        client.address = Read<std::string>(entry, "address");
        client.port = Read<int64_t>(entry, "port");
        client.outcome = ReadChoice(entry, "outcome", StatusOutcomes());
        client.since = ReadTime(entry, "since");
        client.checked = ReadTime(entry, "checked");
        client.foundHost = Read<std::string>(entry, "found_host");
        client.writtenHost = Read<std::string>(entry, "written_host");
        client.writtenAt = ReadTime(entry, "written_at");
        client.consecutiveFailures = Read<int64_t>(entry, "consecutive_failures");
        client.lastFailure = Read<std::string>(entry, "last_failure");
        client.nextDue = ReadTime(entry, "next_due");
        document.clients.push_back(std::move(client));
    }
    return document;
}

}  // namespace

std::string StatusJson(const StatusDocument& document) {
    json history = json::array();
    for (const StatusAddress& entry : document.history) {
        history.push_back({{"address", entry.address}, {"learned", entry.learned}});
    }
    json counters(document.counters);
    counters["failures"] = document.failures;
    counters["on_change_runs"] = document.onChangeRuns;
    json clients = json::array();
    for (const StatusClient& client : document.clients) {
        clients.push_back({{"address", client.address},
                           {"port", client.port},
                           {"outcome", client.outcome},
                           {"since", Time(client.since)},
                           {"checked", Time(client.checked)},
                           {"found_host", client.foundHost},
                           {"written_host", client.writtenHost},
                           {"written_at", Time(client.writtenAt)},
                           {"consecutive_failures", client.consecutiveFailures},
                           {"last_failure", client.lastFailure},
                           {"next_due", Time(client.nextDue)}});
    }
    const json root{{"format", document.format},
                    {"service",
                     {{"pid", document.pid},
                      {"started", document.started},
                      {"updated", document.updated},
                      {"state", document.state}}},
                    {"target",
                     {{"server", document.targetServer},
                      {"connection", document.connection},
                      {"connection_since", Time(document.connectionSince)},
                      {"address", document.currentAddress},
                      {"address_since", Time(document.addressSince)},
                      {"history", std::move(history)}}},
                    {"rechecks",
                     {{"on", document.rechecksOn},
                      {"next_due", Time(document.nextRecheck)},
                      {"last_settled", Time(document.lastSettled)}}},
                    {"counters", std::move(counters)},
                    {"clients", std::move(clients)}};
    // Server texts are escaped as log lines escape them, which leaves bytes that need not be
    // UTF-8; the file must stay valid JSON whatever a server sent.
    return root.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::variant<StatusDocument, std::string> ParseStatusJson(const std::string& text) {
    const json root = json::parse(text, nullptr, false);
    if (root.is_discarded()) {
        return std::string("not JSON, or cut short");
    }
    if (!root.is_object() || !root.contains("format") || !root.contains("service")) {
        return std::string("not a Vaultline status file");
    }
    if (!root["format"].is_number_integer()) {
        return std::string("not a Vaultline status file (its format is not a number)");
    }
    const int64_t format = root["format"].get<int64_t>();
    if (format > kStatusFormat || format < 1) {
        return "format " + std::to_string(format) +
               ", which this program does not read (it reads " + std::to_string(kStatusFormat) +
               "); use the vaultline-status of the running service";
    }
    // The reader's one boundary with the JSON library, whose lookups throw.
    try {
        return ReadDocument(root);
    } catch (const json::exception& error) {
        // The library's own tag ("[json.exception.out_of_range.403] ") means nothing to a reader.
        const std::string what = error.what();
        const std::size_t tag = what.find("] ");
        return "a field is missing or wrong: " +
               (tag == std::string::npos ? what : what.substr(tag + 2));
    } catch (const std::invalid_argument& error) {
        return std::string("a field is missing or wrong: ") + error.what();
    }
}

}  // namespace vaultline
