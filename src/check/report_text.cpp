// The report for a reader: the target and its adapters, one line per client, a count.
#include <cstddef>

#include "base/log_text.h"
#include "check/report.h"

namespace vaultline {

namespace {

void WriteAdapter(std::ostream& out, std::size_t index, const AdapterRecord& adapter) {
    out << "  adapter " << index;
    if (adapter.queryFailed) {
        out << " could not be read\n";
        return;
    }
    if (adapter.textsFailed) {
        out << " (texts could not be read)";
    } else {
        out << " " << LogText(adapter.name) << " (" << LogText(adapter.description) << ") IP "
            << LogText(adapter.ip) << " MAC " << LogText(adapter.mac);
    }
    out << (adapter.connected ? ", connected" : ", not connected")
        << (adapter.dhcp ? ", DHCP\n" : ", no DHCP\n");
}

void WriteClient(std::ostream& out, const ClientFinding& client) {
    out << "  " << LogText(client.address) << ":" << client.port << " ";
    if (client.severalEnabled) {
        out << "several enabled targets (first used); ";
    }
    out << VerdictName(client);
    if (client.Is(ClientOutcome::Rewritten)) {
        out << " " << LogText(client.path) << " -> " << LogText(client.newPath);
    } else if (client.Is(ClientOutcome::BadFormat)) {
        out << " " << LogText(client.path);
    }
    out << "\n";
}

}  // namespace

void WriteTextReport(std::ostream& out, const Findings& findings) {
    const TargetFinding& target = findings.target;
    out << "target " << LogText(target.address) << ":" << target.port << " "
        << ReachName(target.reach) << "\n";
    if (target.reach.Read()) {
        for (std::size_t index = 0; index < target.adapters.size(); ++index) {
            WriteAdapter(out, index, target.adapters[index]);
        }
        if (target.Usable()) {
            out << "  chosen: adapter " << *target.chosen << ", address "
                << LogText(target.archiveAddress) << " (" << ChoiceReason(target) << ")\n";
        } else {
            out << "  no usable address: " << ChoiceReason(target) << "\n";
        }
    }
    if (!target.Usable()) {
        out << "clients not checked: the target gave no usable address\n";
        return;
    }

    out << "clients\n";
    std::size_t correct = 0;
    std::size_t rewrite = 0;
    for (const ClientFinding& client : findings.clients) {
        WriteClient(out, client);
        correct += client.Is(ClientOutcome::Correct) ? 1 : 0;
        rewrite += client.Is(ClientOutcome::Rewritten) ? 1 : 0;
    }
    out << findings.clients.size() << " clients: " << correct << " correct, " << rewrite
        << " would be rewritten, " << findings.clients.size() - correct - rewrite
        << " not checked\n";
}

}  // namespace vaultline
