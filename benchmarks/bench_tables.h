// vaultline-bench's output: the Markdown tables of every fleet size's figures and the goals met.
#pragma once

#include <string>
#include <vector>

#include "bench_options.h"
#include "convergence_run.h"

namespace bench {

// The load average (1, 5, 15 min) as /proc/loadavg gives it.
std::string LoadAverage();

// Prints the machine, the tables and the goals on stdout.
void PrintTables(const Options& options, const std::vector<SizeFigures>& all,
                 const std::string& loadBefore);

}  // namespace bench
