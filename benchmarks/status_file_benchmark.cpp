// status-file-benchmark: the status file at 1,000 and 10,000 clients: its size, the worker's cost
// to take a snapshot, and the writing thread's cost to turn it into JSON and replace the file.
// Prints figures, asserts nothing.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "service/status_file.h"
#include "service/status_file_writer.h"

namespace {

using vaultline::ClientOutcome;
using SteadyClock = std::chrono::steady_clock;

constexpr int kRounds = 21;

double Milliseconds(SteadyClock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A fleet after a change: most clients correct, some rewritten and awaiting confirmation, some
// failing, with host names about as long as real ones.
void Run(std::size_t clientCount, const std::string& folder) {
    std::vector<int> keys(clientCount);
    vaultline::StatusFile file;
    file.SetTarget({"archive-target.example.net", "", "", 22609, true});
    for (std::size_t i = 0; i < clientCount; ++i) {
        file.AddClient(&keys[i], {"client-" + std::to_string(i) + ".branch.example.net", "", "",
                                  22609, false});
    }
    const auto start = SteadyClock::now();
    file.Configure(getpid(), start, std::time(nullptr), std::chrono::seconds(5), true);
    file.AddressChanged("10.0.0.5", start);
    file.RoundStarted(false, start + std::chrono::hours(1));
    for (std::size_t i = 0; i < clientCount; ++i) {
        file.RecordFound(&keys[i], "\\\\10.0.0.4\\archive\\daily");
        if (i % 10 == 0) {
            file.RecordRewrite(&keys[i], "\\\\10.0.0.5\\archive\\daily", start);
            file.RecordOutcome(&keys[i], ClientOutcome::Rewritten, start,
                               start + std::chrono::minutes(1));
        } else if (i % 50 == 1) {
            file.RecordOutcome(&keys[i], ClientOutcome::Unreachable, start, std::nullopt);
        } else {
            file.RecordOutcome(&keys[i], ClientOutcome::Correct, start, std::nullopt);
        }
    }

    std::vector<double> snapshot;
    std::vector<double> write;
    std::size_t size = 0;
    const std::string path = folder + "/status.json";
    for (int round = 0; round < kRounds; ++round) {
        // Each round is a second later with one change, so a write is due.
        const auto now = start + std::chrono::seconds(round + 1);
        file.RecordOutcome(&keys[round % clientCount], ClientOutcome::Correct, now, std::nullopt);
        const auto begun = SteadyClock::now();
        const auto document = file.Due(now, std::time(nullptr), {});
        const auto taken = SteadyClock::now();
        const std::string text = vaultline::StatusJson(*document);
        if (vaultline::ReplaceFile(path, text) != 0) {
            std::fprintf(stderr, "status-file-benchmark: cannot write %s\n", path.c_str());
            std::exit(1);
        }
        const auto written = SteadyClock::now();
        snapshot.push_back(Milliseconds(taken - begun));
        write.push_back(Milliseconds(written - taken));
        size = text.size();
    }
    std::printf("| %zu | %.2f | %.0f | %.2f | %.2f |\n", clientCount, size / 1048576.0,
                static_cast<double>(size) / clientCount, Median(snapshot), Median(write));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string folder = argc > 1 ? argv[1] : "/tmp";
    std::printf("Status file: size, and median cost of one write over %d writes.\n\n", kRounds);
    std::printf(
        "| Clients | File (MiB) | per client (bytes) | Worker: snapshot (ms) | "
        "Writer: JSON and replace (ms) |\n|---:|---:|---:|---:|---:|\n");
    for (const std::size_t clients : {1000u, 10000u}) {
        Run(clients, folder);
    }
    return 0;
}
