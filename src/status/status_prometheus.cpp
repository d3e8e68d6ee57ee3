// vaultline-status --prometheus: the status file in the Prometheus text exposition format, for
// node exporter's textfile collector.
#include <map>

#include "status/status_views.h"

namespace vaultline {

namespace {

// A label value as the format quotes it: backslash, double quote and line feed escaped.
std::string Quoted(const std::string& value) {
    std::string quoted = "\"";
    for (const char c : value) {
        if (c == '\\' || c == '"') {
            quoted += '\\';
            quoted += c;
        } else if (c == '\n') {
            quoted += "\\n";
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

class Exposition {
public:
    Exposition(std::ostream& out, const std::string& service) : out_(out), service_(service) {}

    void Family(const char* name, const char* type, const char* help) {
        name_ = name;
        out_ << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
    }
    // One series of the current family; `label` and `value` make one label when `label` is set.
    void Sample(int64_t number, const char* label = nullptr, const std::string& value = "",
                const char* label2 = nullptr, const std::string& value2 = "") {
        out_ << name_;
        std::string labels;
        const auto add = [&](const char* name, const std::string& text) {
            labels += (labels.empty() ? "" : ",") + std::string(name) + "=" + Quoted(text);
        };
        if (!service_.empty()) {
            add("service", service_);
        }
        if (label != nullptr) {
            add(label, value);
        }
        if (label2 != nullptr) {
            add(label2, value2);
        }
        if (!labels.empty()) {
            out_ << "{" << labels << "}";
        }
        out_ << " " << number << "\n";
    }

private:
    std::ostream& out_;
    const std::string service_;
    const char* name_ = "";
};

int64_t Count(const std::map<std::string, int64_t>& counts, const std::string& name) {
    const auto entry = counts.find(name);
    return entry == counts.end() ? 0 : entry->second;
}

}  // namespace

void PrintPrometheus(const StatusDocument& document, const std::string& service,
                     std::ostream& out) {
    Exposition metrics(out, service);
    std::map<std::string, int64_t> outcomes;
    for (const StatusClient& client : document.clients) {
        ++outcomes[client.outcome];
    }
    metrics.Family("vaultline_clients", "gauge",
                   "Archive clients by the outcome of their last check against the current "
                   "address.");
    for (const std::string& outcome : StatusOutcomes()) {
        metrics.Sample(Count(outcomes, outcome), "outcome", outcome);
    }
    metrics.Family("vaultline_target_connection", "gauge",
                   "The archive target's connection: 1 for the state it is in, 0 for the others.");
    for (const std::string& state : ConnectionStates()) {
        metrics.Sample(state == document.connection ? 1 : 0, "state", state);
    }
    metrics.Family("vaultline_target_info", "gauge",
                   "The archive target and its current address (empty until learned).");
    metrics.Sample(1, "server", document.targetServer, "address", document.currentAddress);
    metrics.Family("vaultline_running", "gauge",
                   "1 while the service runs, 0 once it has stopped cleanly.");
    metrics.Sample(document.state == "running" ? 1 : 0);
    metrics.Family("vaultline_status_updated_timestamp_seconds", "gauge",
                   "When the service last wrote its status file.");
    metrics.Sample(document.updated);
    if (document.addressSince) {
        metrics.Family("vaultline_address_change_timestamp_seconds", "gauge",
                       "When the target's current address was learned.");
        metrics.Sample(*document.addressSince);
    }
    if (document.lastSettled) {
        metrics.Family("vaultline_last_settle_timestamp_seconds", "gauge",
                       "When every client last had an outcome after a change or a recheck.");
        metrics.Sample(*document.lastSettled);
    }
    if (document.nextRecheck) {
        metrics.Family("vaultline_next_recheck_timestamp_seconds", "gauge",
                       "When the next periodic recheck is due.");
        metrics.Sample(*document.nextRecheck);
    }

    const struct {
        const char* counter;
        const char* name;
        const char* help;
    } counters[] = {
        {"address_changes", "vaultline_address_changes_total",
         "Changes of the target's address since the service started."},
        {"rechecks", "vaultline_rechecks_total", "Rechecks of every client since the start."},
        {"rewrites", "vaultline_rewrites_total", "Client paths rewritten since the start."},
        {"checks_correct", "vaultline_checks_correct_total",
         "Client checks that found the path correct since the start."},
        {"log_lines_dropped", "vaultline_log_lines_dropped_total",
         "Log lines dropped because standard error was not read in time."},
    };
    for (const auto& counter : counters) {
        metrics.Family(counter.name, "counter", counter.help);
        metrics.Sample(Count(document.counters, counter.counter));
    }
    metrics.Family("vaultline_failures_total", "counter",
                   "Failed client checks and connection attempts since the start, by kind.");
    for (const std::string& outcome : StatusOutcomes()) {
        if (!IsSettledOutcome(outcome) && outcome != kOutcomeNotChecked) {
            metrics.Sample(Count(document.failures, outcome), "kind", outcome);
        }
    }
    metrics.Family("vaultline_on_change_runs_total", "counter",
                   "Runs of the on-change command since the start, by how they ended.");
    for (const char* result : {"succeeded", "failed", "timed_out", "not_started"}) {
        metrics.Sample(Count(document.onChangeRuns, result), "result", result);
    }
}

}  // namespace vaultline
