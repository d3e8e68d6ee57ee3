// The simulator's timestamped event lines as vaultline-bench reads them, and the rounds they show.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace bench {

// How long a round may take before it counts as timed out.
constexpr auto kRoundTimeout = std::chrono::seconds(180);

// The simulator's stdout, read as it grows: its event lines with their timestamps.
struct Event {
    std::string kind;
    std::map<std::string, std::string> fields;
    double time = 0;  // CLOCK_MONOTONIC seconds
};

class EventReader {
public:
    explicit EventReader(std::filesystem::path path) : path_(std::move(path)) {}

    // Every complete line written since the last call.
    std::vector<Event> Next();

private:
    std::filesystem::path path_;
    std::size_t offset_ = 0;
    std::string pending_;
};

std::string Field(const Event& event, const std::string& key);

// CLOCK_MONOTONIC in seconds, the simulator's timestamps' clock.
double MonotonicNow();

// One round seen in the simulator's lines: from the first line `starts` accepts to the last
// applied update, once `expected` updates were applied.
struct Round {
    double seconds = -1;    // -1: timed out or never started
    double lastUpdate = 0;  // monotonic time of the last applied update
    int rejected = 0;
};

Round WaitForRound(EventReader& reader, int expected,
                   const std::function<bool(const Event&)>& starts);

bool TargetPushed(const Event& event);
bool TargetLoggedIn(const Event& event);

}  // namespace bench
