// What becomes of a client's enabled archive target, given the archive target's address.
#pragma once

#include <string>

#include "outcome/client_outcome.h"
#include "sync/address_rules.h"
#include "sync/sdk_records.h"

namespace vaultline {

struct ClientTargetDecision {
    // Correct; Rewritten when the path is to be rewritten to `path.newPath`; BadFormat; or
    // NoTarget when no enabled target could be read.
    ClientOutcome outcome = ClientOutcome::NoTarget;
    // The path's check, which also says which part of a badly formed path is wrong; not set
    // for NoTarget.
    PathCheck path;
};

// Judges the first enabled target of `read` against `targetAddress` (see CheckTargetPath).
ClientTargetDecision DecideClientTarget(const EnabledTarget& read,
                                        const std::string& targetAddress);

}  // namespace vaultline
