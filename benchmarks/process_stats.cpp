// Reading /proc/<pid>/stat, /proc/<pid>/status and the per-thread status files.
#include "process_stats.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace bench {
namespace {

// The sum of the named status fields of one status file.
long SumStatusFields(const std::string& path, const std::string& first, const std::string& second) {
    std::ifstream status(path);
    long sum = 0;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(first + ":", 0) == 0) {
            sum += std::atol(line.c_str() + first.size() + 1);
        } else if (line.rfind(second + ":", 0) == 0) {
            sum += std::atol(line.c_str() + second.size() + 1);
        }
    }
    return sum;
}

}  // namespace

ProcessUsage ReadUsage(pid_t pid) {
    ProcessUsage usage;
    const std::string root = "/proc/" + std::to_string(pid);
    std::ifstream stat(root + "/stat");
    std::string text;
    std::getline(stat, text);
    // The command name may hold spaces; the fields after it are plain numbers.
    const auto afterName = text.rfind(')');
    if (afterName == std::string::npos) {
        return usage;
    }
    std::istringstream fields(text.substr(afterName + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // state is field 3 of the line; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) {
            utime = std::stoull(field);
        } else if (number == 15) {
            stime = std::stoull(field);
        }
    }
    usage.cpuSeconds =
        static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(root + "/task", error)) {
        usage.contextSwitches +=
            SumStatusFields((task.path() / "status").string(), "voluntary_ctxt_switches",
                            "nonvoluntary_ctxt_switches");
        std::ifstream schedstat(task.path() / "schedstat");
        unsigned long long runNanoseconds = 0;
        if (schedstat >> runNanoseconds) {
            usage.runSeconds += static_cast<double>(runNanoseconds) * 1e-9;
        }
    }
    return usage;
}

int ThreadCount(pid_t pid) {
    return static_cast<int>(StatusKib(pid, "Threads"));
}

long StatusKib(pid_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const std::string key = std::string(field) + ":";
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key, 0) == 0) {
            return std::atol(line.c_str() + key.size());
        }
    }
    return -1;
}

}  // namespace bench
