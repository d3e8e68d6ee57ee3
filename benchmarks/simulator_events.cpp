// The simulator's timestamped event lines as vaultline-bench reads them, and the rounds they show.
#include "simulator_events.h"

#include <time.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace bench {

std::vector<Event> EventReader::Next() {
    std::ifstream file(path_, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset_));
    std::ostringstream fresh;
    fresh << file.rdbuf();
    pending_ += fresh.str();
    offset_ += fresh.str().size();
    std::vector<Event> events;
    std::size_t start = 0;
    for (auto end = pending_.find('\n'); end != std::string::npos;
         start = end + 1, end = pending_.find('\n', start)) {
        std::istringstream words(pending_.substr(start, end - start));
        Event event;
        words >> event.kind;
        for (std::string word; words >> word;) {
            const auto equals = word.find('=');
            if (equals != std::string::npos) {
                event.fields[word.substr(0, equals)] = word.substr(equals + 1);
            }
        }
        event.time = std::atof(event.fields["time"].c_str());
        events.push_back(std::move(event));
    }
    pending_.erase(0, start);
    return events;
}

std::string Field(const Event& event, const std::string& key) {
    const auto found = event.fields.find(key);
    return found == event.fields.end() ? std::string() : found->second;
}

double MonotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

Round WaitForRound(EventReader& reader, int expected,
                   const std::function<bool(const Event&)>& starts) {
    Round round;
    std::optional<double> started;
    int applied = 0;
    const auto deadline = std::chrono::steady_clock::now() + kRoundTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        for (const Event& event : reader.Next()) {
            if (!started && starts(event)) {
                started = event.time;
            }
            if (event.kind == "reload" && Field(event, "result") != "ok") {
                throw std::runtime_error("the simulator refused a reload");
            }
            if (event.kind == "update") {
                if (Field(event, "result") == "applied") {
                    ++applied;
                    round.lastUpdate = event.time;
                } else {
                    ++round.rejected;
                }
            }
        }
        if (applied >= expected && started) {
            round.seconds = expected == 0 ? 0 : round.lastUpdate - *started;
            return round;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return round;
}

bool TargetPushed(const Event& event) {
    return event.kind == "push" && Field(event, "name") == "target";
}

bool TargetLoggedIn(const Event& event) {
    return event.kind == "login" && Field(event, "name") == "target" &&
           Field(event, "result") == "accepted";
}

}  // namespace bench
