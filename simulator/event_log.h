// The simulator's machine-readable output: one flushed stdout line per event, one-line values.
#pragma once

#include <string>

namespace simulator {

// Makes a value safe for a space-separated key=value line: spaces, control bytes and '%' become
// %XX; everything else, backslashes included, is kept as is.
std::string LineValue(const std::string& value);

// Writes `line` and a newline to stdout and flushes, so readers see every event at once.
void PrintEvent(const std::string& line);

// Writes "archive-simulator: <message>" to stderr.
void PrintProblem(const std::string& message);

}  // namespace simulator
