// Running a built program as a child process: its output captured to files, signals, waiting.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

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

    std::string Stdout() const;
    std::string Stderr() const;
    bool WaitForStdout(const std::string& text, std::chrono::milliseconds timeout) const;
    bool WaitForStderr(const std::string& text, std::chrono::milliseconds timeout) const;

private:
    TempDirectory outputDirectory_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

struct Completed {
    int status;
    std::string out;
    std::string err;
};

// Runs a program to its end; fails the calling test (and kills the child) after `timeout`.
Completed RunToCompletion(const std::vector<std::string>& arguments,
                          const std::filesystem::path& workingDirectory = {},
                          std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace testing_support
