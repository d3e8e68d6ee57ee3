// What becomes of a client's enabled archive target, given the archive target's address.
#include "sync/client_target_decision.h"

namespace vaultline {

ClientTargetDecision DecideClientTarget(const EnabledTarget& read,
                                        const std::string& targetAddress) {
    ClientTargetDecision decision;
    if (!read.found) {
        return decision;
    }
    decision.path = CheckTargetPath(read.path.c_str(), targetAddress);
    switch (decision.path.action) {
        case PathAction::Correct:
            decision.outcome = ClientOutcome::Correct;
            break;
        case PathAction::Rewrite:
            decision.outcome = ClientOutcome::Rewritten;
            break;
        case PathAction::NoLeadingBackslashes:
        case PathAction::NoBackslashAfterHost:
            decision.outcome = ClientOutcome::BadFormat;
            break;
    }
    return decision;
}

}  // namespace vaultline
