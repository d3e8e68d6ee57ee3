// vaultline-status's plain view: a header about the target and the counts, then a table of the
// clients that are not correct, in 100 columns.
#include <algorithm>
#include <ctime>
#include <iomanip>
#include <map>

#include "status/status_views.h"

namespace vaultline {

namespace {

constexpr std::size_t kServerWidth = 26;
// The target in the header: what is left of a line once the longest address and time are in it.
constexpr std::size_t kTargetWidth = 46;
constexpr std::size_t kOutcomeWidth = 21;
constexpr std::size_t kTimeWidth = 14;
constexpr std::size_t kFailuresWidth = 5;
constexpr std::size_t kNextWidth = 8;
constexpr std::size_t kLineWidth = 100;

// "12-10 14:02:11" in local time, or "-"; the time of day alone with `timeOnly`.
std::string When(const StatusTime& time, bool timeOnly = false) {
    if (!time) {
        return "-";
    }
    const std::time_t when = static_cast<std::time_t>(*time);
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof text, timeOnly ? "%H:%M:%S" : "%m-%d %H:%M:%S", &local);
    return text;
}

// `text` in `width` columns at most, cut with "~" where it is longer.
std::string Fit(const std::string& text, std::size_t width) {
    return text.size() <= width ? text : text.substr(0, width - 1) + "~";
}

// How long until `due`, from `now`, in whole units.
std::string In(int64_t due, int64_t now) {
    const int64_t seconds = std::max<int64_t>(due - now, 0);
    if (seconds < 60) {
        return std::to_string(seconds) + " s";
    }
    if (seconds < 3600) {
        return std::to_string((seconds + 59) / 60) + " min";
    }
    return std::to_string(seconds / 3600) + " h " + std::to_string(seconds % 3600 / 60) + " min";
}

const char* Colour(const std::string& outcome) {
    if (outcome == kOutcomeCorrect) {
        return "\x1b[32m";
    }
    if (IsSettledOutcome(outcome) || outcome == kOutcomeNotChecked) {
        return "\x1b[33m";
    }
    return "\x1b[31m";
}

}  // namespace

void PrintStatusTable(const StatusDocument& document, int64_t now, bool all, bool colour,
                      std::ostream& out) {
    if (document.state == "stopped") {
        out << "service stopped at " << When(document.updated) << " (pid " << document.pid
            << "); what it knew then:\n";
    }
    out << "target " << Fit(document.targetServer, kTargetWidth) << ": ";
    if (document.currentAddress.empty()) {
        out << "address not yet known";
    } else {
        out << "address " << document.currentAddress << " since " << When(document.addressSince);
    }
    out << "\nconnection " << document.connection << " since " << When(document.connectionSince)
        << "\n";

    std::map<std::string, std::size_t> counts;
    for (const StatusClient& client : document.clients) {
        ++counts[client.outcome];
    }
    out << document.clients.size() << (document.clients.size() == 1 ? " client" : " clients");
    const char* separator = ": ";
    for (const std::string& outcome : StatusOutcomes()) {
        if (counts[outcome] > 0) {
            out << separator << counts[outcome] << " " << outcome;
            separator = ", ";
        }
    }
    out << "\n";
    if (!document.rechecksOn) {
        out << "rechecks off";
    } else if (document.nextRecheck) {
        out << "next recheck at " << When(document.nextRecheck) << " (in "
            << In(*document.nextRecheck, now) << ")";
    } else {
        out << "no recheck scheduled yet";
    }
    out << "; file updated " << When(document.updated) << " by pid " << document.pid << "\n";

    bool header = false;
    for (const StatusClient& client : document.clients) {
        if (!all && client.outcome == kOutcomeCorrect) {
            continue;
        }
        if (!header) {
            out << "\n"
                << std::left << std::setw(kServerWidth) << "CLIENT"
                << " " << std::setw(kOutcomeWidth) << "OUTCOME"
                << " " << std::setw(kTimeWidth) << "SINCE"
                << " " << std::setw(kFailuresWidth) << "FAILS"
                << " " << std::setw(kNextWidth) << "NEXT"
                << " LAST FAILURE\n";
            header = true;
        }
        const std::string server = client.address + ":" + std::to_string(client.port);
        const std::string outcome = Fit(client.outcome, kOutcomeWidth);
        out << std::left << std::setw(kServerWidth) << Fit(server, kServerWidth) << " ";
        if (colour) {
            out << Colour(client.outcome) << outcome << "\x1b[0m"
                << std::string(kOutcomeWidth - outcome.size(), ' ');
        } else {
            out << std::setw(kOutcomeWidth) << outcome;
        }
        const std::size_t used =
            kServerWidth + kOutcomeWidth + kTimeWidth + kFailuresWidth + kNextWidth + 5;
        out << " " << std::setw(kTimeWidth) << When(client.since) << " "
            << std::setw(kFailuresWidth) << client.consecutiveFailures << " "
            << std::setw(kNextWidth) << When(client.nextDue, true) << " "
            << Fit(client.lastFailure.empty() ? "-" : client.lastFailure, kLineWidth - used)
            << "\n";
    }
    if (!header && !document.clients.empty()) {
        out << "\nevery client is correct\n";
    }
}

}  // namespace vaultline
