// Writing event lines to stdout and problems to stderr.
#include "event_log.h"

#include <time.h>

#include <cstdio>

namespace simulator {

std::string LineValue(const std::string& value) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string safe;
    safe.reserve(value.size());
    for (const char character : value) {
        const auto byte = static_cast<unsigned char>(character);
        if (byte <= 0x20 || byte == 0x7F || byte == '%') {
            safe += '%';
            safe += kHex[byte >> 4];
            safe += kHex[byte & 0x0F];
        } else {
            safe += character;
        }
    }
    return safe;
}

namespace {

bool timestamps = false;
bool batching = false;

}  // namespace

void SetEventTimestamps(bool on) {
    timestamps = on;
}

void SetEventBatching(bool on) {
    batching = on;
    FlushEvents();
}

void FlushEvents() {
    std::fflush(stdout);
}

void PrintEvent(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    if (timestamps) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::fprintf(stdout, " time=%lld.%06ld", static_cast<long long>(now.tv_sec),
                     now.tv_nsec / 1000);
    }
    std::fputc('\n', stdout);
    if (!batching) {
        std::fflush(stdout);
    }
}

void PrintProblem(const std::string& message) {
    std::fprintf(stderr, "archive-simulator: %s\n", message.c_str());
    std::fflush(stderr);
}

}  // namespace simulator
