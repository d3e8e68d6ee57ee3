// vaultline-status --check: one line and the monitoring plugins' exit status, with performance
// data after "|".
#include <algorithm>
#include <sstream>

#include "status/status_views.h"

namespace vaultline {

namespace {

const char* const kStateNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

std::string Line(CheckStatus status, const std::string& summary, const std::string& performance) {
    std::string line = std::string("VAULTLINE ") + kStateNames[status] + " - " + summary;
    if (!performance.empty()) {
        line += " | " + performance;
    }
    return line;
}

}  // namespace

CheckResult CheckUnusable(const std::string& reason) {
    return {kCheckUnknown, Line(kCheckUnknown, reason, "")};
}

CheckResult CheckStatusDocument(const StatusDocument& document, int64_t now, bool processAlive,
                                const CheckAges& ages) {
    const int64_t fileAge = std::max<int64_t>(now - document.updated, 0);
    if (document.state == "stopped") {
        return CheckUnusable("the service stopped (pid " + std::to_string(document.pid) + ", " +
                             std::to_string(fileAge) + " s ago)");
    }
    if (!processAlive) {
        return CheckUnusable("the service (pid " + std::to_string(document.pid) +
                             ") is gone; its status file is " + std::to_string(fileAge) + " s old");
    }
    if (fileAge > ages.stale) {
        return CheckUnusable("the status file is " + std::to_string(fileAge) +
                             " s old; the service is not updating it");
    }

    std::size_t correct = 0;
    std::size_t confirming = 0;
    std::size_t unchecked = 0;
    std::size_t failing = 0;
    std::size_t late = 0;
    int64_t oldest = 0;
    const StatusClient* oldestClient = nullptr;
    for (const StatusClient& client : document.clients) {
        if (IsSettledOutcome(client.outcome)) {
            (client.outcome == kOutcomeCorrect ? correct : confirming) += 1;
            continue;
        }
        (client.outcome == kOutcomeNotChecked ? unchecked : failing) += 1;
        const int64_t off = client.since ? std::max<int64_t>(now - *client.since, 0) : 0;
        late += off > ages.warning;
        if (oldestClient == nullptr || off > oldest) {
            oldest = off;
            oldestClient = &client;
        }
    }
    const bool connected = document.connection == kConnectionLoggedIn;
    const int64_t disconnected = connected || !document.connectionSince
                                     ? 0
                                     : std::max<int64_t>(now - *document.connectionSince, 0);

    CheckStatus status = kCheckOk;
    std::ostringstream summary;
    if (disconnected > ages.critical) {
        status = kCheckCritical;
        summary << "target " << document.targetServer << " not connected for " << disconnected
                << " s; ";
    }
    if (oldest > ages.warning) {
        status = std::max(status, oldest > ages.critical ? kCheckCritical : kCheckWarning);
        summary << late << " of " << document.clients.size()
                << " clients off the current address for over " << ages.warning
                << " s, the longest " << oldestClient->address << ":" << oldestClient->port << " ("
                << oldestClient->outcome << ") for " << oldest << " s";
    } else {
        summary << "target " << document.targetServer << " at "
                << (document.currentAddress.empty() ? "an address not yet known"
                                                    : document.currentAddress)
                << "; " << correct + confirming << " of " << document.clients.size()
                << " clients correct or confirming";
        if (failing + unchecked > 0) {
            summary << ", " << failing + unchecked << " not yet";
        }
    }

    std::ostringstream performance;
    performance << "clients=" << document.clients.size() << ";;;0 correct=" << correct
                << ";;;0 confirming=" << confirming << ";;;0 failing=" << failing
                << ";;;0 unchecked=" << unchecked << ";;;0 oldest_off_address=" << oldest << "s;"
                << ages.warning << ";" << ages.critical << ";0 target_disconnected=" << disconnected
                << "s;;" << ages.critical << ";0 file_age=" << fileAge << "s;;" << ages.stale
                << ";0";
    return {status, Line(status, summary.str(), performance.str())};
}

}  // namespace vaultline
