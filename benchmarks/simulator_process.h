// Running archive-simulator for the benchmark: fleet file, start-up, ports, memory, stop.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>

namespace benchmark {

class SimulatorProcess {
public:
    // Writes the fleet file into a fresh temporary directory and starts the simulator on it.
    explicit SimulatorProcess(const std::string& fleetXml);
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    // Waits for "ready" and reads the ports from the "listening" lines; false on timeout or exit.
    bool WaitReady(int timeoutSeconds);
    unsigned Port(const std::string& name) const;
    // Replaces the fleet file and sends SIGHUP.
    void Reload(const std::string& fleetXml);
    // Kernel figures from /proc/<pid>/status, in KiB: "VmRSS", "VmHWM".
    long MemoryKib(const std::string& field) const;
    // SIGTERM, then the exit status (-1 when it does not end within 10 s).
    int Stop();
    std::string Stdout() const;
    std::string Stderr() const;

private:
    std::string directory_;
    pid_t pid_ = -1;
    std::map<std::string, unsigned> ports_;
};

}  // namespace benchmark
