// Whether a server accepted a login, from the result its login event carries.
#pragma once

namespace vaultline {

// Only the low byte of the result tells: zero there is success, whatever the bits above it hold.
bool LoginAccepted(long result);

}  // namespace vaultline
