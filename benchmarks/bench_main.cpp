// vaultline-bench: how fast vaultline brings a simulated fleet to a new target address, beside a
// floor and a sequential driver on the same SDK, its idle cost and its memory. Prints Markdown
// tables; asserts nothing.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "bench_options.h"
#include "bench_tables.h"
#include "convergence_run.h"

namespace {

// Two threads waking every 100 ms and doing nothing else: the idle floor of a two-timer design.
[[noreturn]] void BareLoop() {
    std::thread other([] {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--bare-loop") {
        BareLoop();
    }
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(bench::kUsage, stdout);
        return 0;
    }
    bench::Options options;
    try {
        options = bench::ParseOptions(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vaultline-bench: %s\n%s", error.what(), bench::kUsage);
        return 1;
    }
    // Thousands of connections on each side; children inherit the raised limit.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    signal(SIGPIPE, SIG_IGN);
    // Scratch files (the simulator's state file and output, the service's log) on tmpfs when
    // the caller has not chosen: the simulator rewrites its state file many times per second,
    // and on a disk with synchronous discard that would be the simulator's largest cost.
    if (std::getenv("TMPDIR") == nullptr && access("/dev/shm", W_OK) == 0) {
        setenv("TMPDIR", "/dev/shm", 1);
    }
    const std::string loadBefore = bench::LoadAverage();
    std::vector<bench::SizeFigures> all;
    for (const int clients : options.sizes) {
        const int rounds = clients >= 5000 ? std::min(options.rounds, 3) : options.rounds;
        const bool idle = std::find(options.idleSizes.begin(), options.idleSizes.end(), clients) !=
                          options.idleSizes.end();
        bench::Progress("vaultline-bench: %d clients, %d rounds", clients, rounds);
        try {
            all.push_back(bench::MeasureSize(clients, rounds, idle, options.idleSeconds));
        } catch (const std::exception& error) {
            bench::Progress("vaultline-bench: %d clients: %s", clients, error.what());
            bench::SizeFigures failed;
            failed.clients = clients;
            failed.failures = 1;
            all.push_back(failed);
        }
    }
    bench::PrintTables(options, all, loadBefore);
    return 0;
}
