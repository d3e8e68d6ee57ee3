// vaultline-bench's output: the Markdown tables of every fleet size's figures and the goals met.
#include "bench_tables.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>

namespace bench {

namespace {

std::string Fixed(double value, int decimals) {
    if (value < 0) {
        return "n/a";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Ratio(double numerator, double denominator) {
    if (numerator < 0 || denominator <= 0) {
        return "n/a";
    }
    const double ratio = numerator / denominator;
    return Fixed(ratio, ratio < 10 ? 2 : 0);
}

std::string FirstLineOf(const char* path, const std::string& key) {
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (line.rfind(key, 0) == 0) {
            const auto colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

const SizeFigures* Find(const std::vector<SizeFigures>& all, int clients) {
    for (const SizeFigures& figures : all) {
        if (figures.clients == clients) {
            return &figures;
        }
    }
    return nullptr;
}

void PrintGoals(const std::vector<SizeFigures>& all) {
    const SizeFigures* thousand = Find(all, 1000);
    const SizeFigures* fiveThousand = Find(all, 5000);
    std::printf("\n| Goal | Measured | Met |\n|---|---|---|\n");
    const auto goal = [](const char* text, double value, double limit, const std::string& shown) {
        std::printf("| %s | %s | %s |\n", text, shown.c_str(),
                    value < 0 ? "n/a" : (value < limit ? "yes" : "**no**"));
    };
    if (thousand != nullptr) {
        goal("1,000 clients converge after a change in under 0.6 s", thousand->change, 0.6,
             Fixed(thousand->change, 3) + " s");
        const double ratio = thousand->floor > 0 ? thousand->change / thousand->floor : -1;
        goal("service/floor under 4 at 1,000", ratio, 4, Ratio(thousand->change, thousand->floor));
        if (thousand->idle) {
            goal("idle under 0.25% of one core at 1,000", thousand->idle->servicePercent, 0.25,
                 Fixed(thousand->idle->servicePercent, 3) + " %");
        }
        goal("VmHWM under 16 MiB at 1,000", thousand->vmhwmKib / 1024.0, 16,
             Fixed(thousand->vmhwmKib / 1024.0, 1) + " MiB");
        const double share =
            thousand->serviceCpu > 0 ? thousand->simulatorCpu / thousand->serviceCpu : -1;
        goal("simulator CPU under 1/3 of the service's at 1,000", share, 1.0 / 3,
             Ratio(thousand->simulatorCpu, thousand->serviceCpu) + " of it");
    }
    if (fiveThousand != nullptr) {
        goal("VmHWM under 32 MiB at 5,000", fiveThousand->vmhwmKib / 1024.0, 32,
             Fixed(fiveThousand->vmhwmKib / 1024.0, 1) + " MiB");
    }
    if (thousand != nullptr && fiveThousand != nullptr && thousand->change > 0 &&
        fiveThousand->change > 0) {
        std::printf(
            "| time per client, 1,000 to 5,000 clients (1.0 = linear) | %s ms to %s ms: "
            "x%s | - |\n",
            Fixed(1000 * thousand->change / 1000, 3).c_str(),
            Fixed(1000 * fiveThousand->change / 5000, 3).c_str(),
            Ratio(fiveThousand->change / 5000, thousand->change / 1000).c_str());
    }
}

}  // namespace

std::string LoadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void PrintTables(const Options& options, const std::vector<SizeFigures>& all,
                 const std::string& loadBefore) {
    utsname system{};
    uname(&system);
    const std::time_t now = std::time(nullptr);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    std::printf("Machine: %s, %ld online CPUs, Linux %s. Date: %s. Commit: %s.\n",
                FirstLineOf("/proc/cpuinfo", "model name").c_str(), sysconf(_SC_NPROCESSORS_ONLN),
                system.release, date, options.commit.c_str());
    std::printf("Load average (1, 5, 15 min) before: %s; after: %s.\n\n", loadBefore.c_str(),
                LoadAverage().c_str());

    std::printf(
        "Convergence in seconds, median of the rounds, from the simulator's own "
        "timestamps: start-up from the target's login to the last client's applied "
        "update; change from the target's new data being pushed to the last client's "
        "applied update.\n\n");
    std::printf(
        "| Clients | Rounds | Start-up | (from spawn) | Change | per client (ms) | Floor | "
        "Sequential | Service/floor | Sequential/service | Failures |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const SizeFigures& figures : all) {
        std::printf(
            "| %d | %d | %s | %s | %s | %s | %s | %s | %s | %s | %d |\n", figures.clients,
            figures.rounds, Fixed(figures.startup, 3).c_str(),
            Fixed(figures.startupFromSpawn, 3).c_str(), Fixed(figures.change, 3).c_str(),
            Fixed(figures.change < 0 ? -1 : 1000 * figures.change / figures.clients, 3).c_str(),
            Fixed(figures.floor, 3).c_str(), Fixed(figures.sequential, 3).c_str(),
            Ratio(figures.change, figures.floor).c_str(),
            Ratio(figures.sequential, figures.change).c_str(), figures.failures);
    }

    std::printf(
        "\nMemory and CPU: the service's peak resident memory (VmHWM), per client above "
        "the smallest fleet's, and the CPU time of the service and the simulator over all "
        "change rounds (the simulator's includes parsing the reloaded fleet file).\n\n");
    std::printf(
        "| Clients | VmHWM (MiB) | per client (KiB) | Service CPU (s) | Simulator CPU (s) | "
        "Simulator/service |\n|---:|---:|---:|---:|---:|---:|\n");
    const SizeFigures& smallest = all.front();
    for (const SizeFigures& figures : all) {
        const double perClient =
            figures.clients > smallest.clients && figures.vmhwmKib > 0 && smallest.vmhwmKib > 0
                ? static_cast<double>(figures.vmhwmKib - smallest.vmhwmKib) /
                      (figures.clients - smallest.clients)
                : -1;
        std::printf("| %d | %s | %s | %s | %s | %s |\n", figures.clients,
                    Fixed(figures.vmhwmKib / 1024.0, 1).c_str(), Fixed(perClient, 2).c_str(),
                    Fixed(figures.serviceCpu, 2).c_str(), Fixed(figures.simulatorCpu, 2).c_str(),
                    Ratio(figures.simulatorCpu, figures.serviceCpu).c_str());
    }

    std::printf(
        "\nIdle, target connected and every client closed, over %d s: CPU as %% of one "
        "core, context switches per second (all threads). The bare loop sleeps 100 ms "
        "on two threads.\n\n",
        options.idleSeconds);
    std::printf(
        "| Clients | Service CPU | Service switches/s | Bare loop CPU | Bare loop "
        "switches/s |\n|---:|---:|---:|---:|---:|\n");
    for (const SizeFigures& figures : all) {
        if (figures.idle) {
            std::printf("| %d | %s %% | %s | %s %% | %s |\n", figures.clients,
                        Fixed(figures.idle->servicePercent, 3).c_str(),
                        Fixed(figures.idle->serviceSwitches, 1).c_str(),
                        Fixed(figures.idle->barePercent, 3).c_str(),
                        Fixed(figures.idle->bareSwitches, 1).c_str());
        }
    }
    PrintGoals(all);
}

}  // namespace bench
