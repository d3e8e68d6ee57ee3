// vaultline-bench's command line: fleet sizes, rounds, idle measurement, the commit to name.
#include "bench_options.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace bench {

const char* const kUsage =
    "usage: vaultline-bench [--quick] [--sizes N,N,...] [--rounds N] [--idle-seconds S]\n"
    "                       [--idle-sizes N,N,...] [--commit TEXT]\n"
    "\n"
    "Runs vaultline against archive-simulator fleets of N clients with stale paths and prints\n"
    "Markdown tables: convergence at start-up and after an address change (median of the rounds,\n"
    "from the simulator's own timestamps), the same work by a floor and a sequential driver,\n"
    "idle cost, memory. Defaults: sizes 10,100,1000,5000, 5 rounds (3 from 5000 clients), idle\n"
    "20 s at 10 and 1000 clients. --quick: sizes 10,100, 3 rounds, idle 5 s at 100 clients.\n";

namespace {

std::vector<int> ParseSizes(const std::string& text) {
    std::vector<int> sizes;
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        const int size = std::atoi(item.c_str());
        if (size <= 0 || size > 10000) {
            throw std::invalid_argument("sizes are 1 to 10000 clients: \"" + item + "\"");
        }
        sizes.push_back(size);
    }
    return sizes;
}

}  // namespace

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        const auto value = [&]() -> std::string {
            if (index + 1 >= argc) {
                throw std::invalid_argument(argument + " needs a value");
            }
            return argv[++index];
        };
        if (argument == "--quick") {
            options.sizes = {10, 100};
            options.rounds = 3;
            options.idleSizes = {100};
            options.idleSeconds = 5;
        } else if (argument == "--sizes") {
            options.sizes = ParseSizes(value());
        } else if (argument == "--idle-sizes") {
            options.idleSizes = ParseSizes(value());
        } else if (argument == "--rounds") {
            options.rounds = std::max(1, std::atoi(value().c_str()));
        } else if (argument == "--idle-seconds") {
            options.idleSeconds = std::max(1, std::atoi(value().c_str()));
        } else if (argument == "--commit") {
            options.commit = value();
        } else {
            throw std::invalid_argument("unknown argument \"" + argument + "\"");
        }
    }
    return options;
}

}  // namespace bench
