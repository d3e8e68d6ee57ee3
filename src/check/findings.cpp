// What vaultline-check found: the target's adapters and address, an outcome per client, and the
// exit status they add up to.
#include "check/findings.h"

namespace vaultline {

int ExitStatus(const Findings& findings) {
    if (!findings.target.Usable()) {
        return 1;
    }
    bool rewrite = false;
    for (const ClientFinding& client : findings.clients) {
        if (client.Is(ClientOutcome::Rewritten)) {
            rewrite = true;
        } else if (!client.Is(ClientOutcome::Correct)) {
            return 1;
        }
    }
    return rewrite ? 2 : 0;
}

void RecordReach(const Reach& reach, ClientFinding& client) {
    switch (reach.end) {
        case Reach::End::DataRead:
            break;
        case Reach::End::Failed:
            client.outcome = reach.failure;
            break;
        case Reach::End::Interrupted:
            client.interrupted = true;
            break;
    }
}

}  // namespace vaultline
