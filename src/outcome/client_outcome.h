// How a client's check ends: the words the service records and vaultline-check reports.
#pragma once

namespace vaultline {

// How a client's last check ended, or why it could not be checked.
enum class ClientOutcome {
    Correct,
    Rewritten,
    Unreachable,
    LoginRefused,
    NoTarget,
    BadFormat,
    UpdateFailed,
    // The connection got nowhere: no login answer or no data in time, or a close request before
    // the check.
    Stalled,
    // Rewritten again, but the last three rewrites for the same address were each found undone
    // by the next check: the client rejects or loses its updates.
    NotApplied,
};

}  // namespace vaultline
