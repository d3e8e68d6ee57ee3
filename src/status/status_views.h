// vaultline-status's views of a status file: reading it, the table, the metrics and the check.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <variant>

#include "status_format/status_document.h"

namespace vaultline {

// The file at `path`, validated, or the message that says why it cannot be used.
std::variant<StatusDocument, std::string> ReadStatusFile(const std::string& path);

// The header and the table of the clients that are not correct (every client with `all`), as of
// `now` (seconds since the epoch), times in local time. Lines fit 100 columns; `colour` marks
// outcomes with terminal colours.
void PrintStatusTable(const StatusDocument& document, int64_t now, bool all, bool colour,
                      std::ostream& out);

// The Prometheus text exposition format, for node exporter's textfile collector. Every series
// carries `service` as a label when it is not empty.
void PrintPrometheus(const StatusDocument& document, const std::string& service, std::ostream& out);

// The monitoring plugins' exit statuses.
enum CheckStatus { kCheckOk = 0, kCheckWarning = 1, kCheckCritical = 2, kCheckUnknown = 3 };

struct CheckAges {
    int64_t warning = 300;
    int64_t critical = 3600;
    // A file older than this is stale: the service is stuck or gone.
    int64_t stale = 180;
};

struct CheckResult {
    CheckStatus status;
    std::string line;  // "VAULTLINE <STATE> - <summary>| <performance data>"
};

// The check of a document as of `now`; `processAlive` says whether the file's PID still runs.
CheckResult CheckStatusDocument(const StatusDocument& document, int64_t now, bool processAlive,
                                const CheckAges& ages);
// The UNKNOWN line for a file that cannot be used.
CheckResult CheckUnusable(const std::string& reason);

}  // namespace vaultline
