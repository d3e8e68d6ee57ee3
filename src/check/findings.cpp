// What vaultline-check found: the target's adapters and address, a verdict per client, and the
// exit status they add up to.
#include "check/findings.h"

namespace vaultline {

int ExitStatus(const Findings& findings) {
    if (!findings.target.Usable()) {
        return 1;
    }
    bool rewrite = false;
    for (const ClientFinding& client : findings.clients) {
        switch (client.verdict) {
            case Verdict::Correct:
                break;
            case Verdict::WouldRewrite:
                rewrite = true;
                break;
            default:
                return 1;
        }
    }
    return rewrite ? 2 : 0;
}

Verdict VerdictFor(Reach reach) {
    switch (reach) {
        case Reach::LoginRefused:
            return Verdict::LoginRefused;
        case Reach::TimedOut:
            return Verdict::TimedOut;
        case Reach::Interrupted:
            return Verdict::Interrupted;
        default:
            return Verdict::Unreachable;
    }
}

}  // namespace vaultline
