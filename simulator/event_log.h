// The simulator's machine-readable output: one flushed stdout line per event, one-line values.
#pragma once

#include <string>

namespace simulator {

// Makes a value safe for a space-separated key=value line: spaces, control bytes and '%' become
// %XX; everything else, backslashes included, is kept as is.
std::string LineValue(const std::string& value);

// Writes `line` and a newline to stdout and flushes, so readers see every event at once; while
// batching, the flush waits for FlushEvents (the event loop calls it before it sleeps). With
// timestamps on, the line ends in " time=<seconds>.<microseconds>" of CLOCK_MONOTONIC, which
// other processes on the machine can compare with their own clock.
void PrintEvent(const std::string& line);
void SetEventTimestamps(bool on);
void SetEventBatching(bool on);
void FlushEvents();

// Writes "archive-simulator: <message>" to stderr.
void PrintProblem(const std::string& message);

}  // namespace simulator
