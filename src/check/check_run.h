// One run of vaultline-check: configuration, target, clients, report.
#pragma once

#include <ostream>

#include "check/check_options.h"
#include "check/stop_signal.h"

namespace vaultline {

// Reads the configuration named in `options` (faults are logged), reaches the target and then
// every client, and writes the report to `out`. Returns the exit status. Needs `logger` set.
int RunCheck(const CheckOptions& options, const StopControl& stop, std::ostream& out);

}  // namespace vaultline
