// How a client's check ended, as the behaviour tables write it.
#pragma once

#include "outcome/client_outcome.h"

namespace vaultline {

namespace unit_support {

inline const char* OutcomeWord(ClientOutcome outcome) {
    switch (outcome) {
        case ClientOutcome::Correct:
            return "Correct";
        case ClientOutcome::Rewritten:
            return "Rewritten";
        case ClientOutcome::Unreachable:
            return "Unreachable";
        case ClientOutcome::LoginRefused:
            return "LoginRefused";
        case ClientOutcome::NoTarget:
            return "NoTarget";
        case ClientOutcome::BadFormat:
            return "BadFormat";
        case ClientOutcome::UpdateFailed:
            return "UpdateFailed";
        case ClientOutcome::Stalled:
            return "Stalled";
        case ClientOutcome::NotApplied:
            return "NotApplied";
    }
    return "?";
}

}  // namespace unit_support

}  // namespace vaultline
