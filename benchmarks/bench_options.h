// vaultline-bench's command line: fleet sizes, rounds, idle measurement, the commit to name.
#pragma once

#include <string>
#include <vector>

namespace bench {

extern const char* const kUsage;

struct Options {
    std::vector<int> sizes = {10, 100, 1000, 5000};
    int rounds = 5;
    std::vector<int> idleSizes = {10, 1000};
    int idleSeconds = 20;
    std::string commit = "unknown";
};

// Throws std::invalid_argument naming what is wrong.
Options ParseOptions(int argc, char** argv);

}  // namespace bench
