// Running a built program as a child process: its output captured to files, signals, waiting,
// its memory. Shared by the tests and the benchmarks, so free of any test framework.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace launcher {

// A directory removed with everything in it when the object goes away.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // Writes `contents` to a file in the directory and returns its path.
    std::filesystem::path WriteFile(const std::string& name, const std::string& contents) const;

private:
    std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& path);

// Polls `condition` every 20 ms until it holds or `timeout` has passed.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// A started program. Standard output and standard error go to files, so a chatty child never
// blocks on a full pipe; standard input is /dev/null. A child still running when the object goes
// away is killed.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& arguments,
                 const std::filesystem::path& workingDirectory = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    void Signal(int signalNumber) const;

    // The exit status (128 + n when killed by signal n), or nothing when still running after
    // `timeout`.
    std::optional<int> Wait(std::chrono::milliseconds timeout);

    // A kernel figure from /proc/<pid>/status in KiB ("VmRSS", "VmHWM"); -1 when unknown.
    long MemoryKib(const std::string& field) const;

    std::string Stdout() const;
    // The file standard output goes to, for readers that follow it as it grows.
    std::filesystem::path StdoutPath() const;
    std::string Stderr() const;
    // The file standard error goes to, likewise.
    std::filesystem::path StderrPath() const;
    bool WaitForStdout(const std::string& text, std::chrono::milliseconds timeout) const;
    bool WaitForStderr(const std::string& text, std::chrono::milliseconds timeout) const;

private:
    TempDirectory outputDirectory_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace launcher
