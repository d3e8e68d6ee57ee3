// Process-wide settings made once at start: the descriptor limit and broken pipes.
#pragma once

namespace vaultline {

// Raises the soft limit on open descriptors to the hard limit. The service watches its
// connections with epoll, so descriptors above 1023 are fine. False when the limit could not be
// read or set; the service then runs with the limit it has.
bool RaiseDescriptorLimit();

// A reader of standard error that goes away must not end the service: writes to it then fail
// quietly instead of raising SIGPIPE.
void IgnoreBrokenPipes();

}  // namespace vaultline
