// Writing the findings: as lines for a reader, or as one JSON document for scripts.
#pragma once

#include <ostream>
#include <string>

#include "check/findings.h"

namespace vaultline {

// The client's verdict as the report and the JSON document name it: "correct", "would rewrite",
// ...; a client that could not be checked is named as its connection attempt ended.
const char* VerdictName(const ClientFinding& client);

// How a connection attempt ended, as both reports name it: "reached", "unreachable", ...
const char* ReachName(const Reach& reach);

// Why the adapter was chosen, or why the target has no usable address.
std::string ChoiceReason(const TargetFinding& target);

// The report for a reader: the target, its adapters and the one chosen, then one line per
// client, "<address>:<port> <verdict>", then a count. Texts from servers and the configuration
// have their control bytes written as \xNN.
void WriteTextReport(std::ostream& out, const Findings& findings);

// The same findings as one JSON document on one line, in ASCII only. Texts appear as sent,
// JSON-escaped (control bytes and everything beyond ASCII as \uXXXX); bytes that are not UTF-8
// are replaced by U+FFFD.
void WriteJsonReport(std::ostream& out, const Findings& findings);

}  // namespace vaultline
