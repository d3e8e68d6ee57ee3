// Running a built program as a child process: its output captured to files, signals, waiting.
#include "launcher/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace launcher {

TempDirectory::TempDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vaultline-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error(std::string("mkdtemp failed: ") + std::strerror(errno));
    }
    path_ = pattern;
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDirectory::WriteFile(const std::string& name,
                                               const std::string& contents) const {
    const auto path = path_ / name;
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << contents;
    return path;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments,
                           const std::filesystem::path& workingDirectory) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    const std::string stdoutPath = (outputDirectory_.Path() / "stdout").string();
    const std::string stderrPath = (outputDirectory_.Path() / "stderr").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (!workingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
    }
    const int error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + arguments.front() + ": " + std::strerror(error));
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

void ChildProcess::Signal(int signalNumber) const {
    if (pid_ > 0 && !status_) {
        kill(pid_, signalNumber);
    }
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
    WaitUntil(
        [this] {
            if (status_) {
                return true;
            }
            int raw = 0;
            if (waitpid(pid_, &raw, WNOHANG) == pid_) {
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            }
            return status_.has_value();
        },
        timeout);
    return status_;
}

long ChildProcess::MemoryKib(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::atol(line.c_str() + field.size() + 1);
        }
    }
    return -1;
}

std::filesystem::path ChildProcess::StdoutPath() const {
    return outputDirectory_.Path() / "stdout";
}

std::string ChildProcess::Stdout() const {
    return ReadFile(outputDirectory_.Path() / "stdout");
}
std::string ChildProcess::Stderr() const {
    return ReadFile(StderrPath());
}

std::filesystem::path ChildProcess::StderrPath() const {
    return outputDirectory_.Path() / "stderr";
}

bool ChildProcess::WaitForStdout(const std::string& text, std::chrono::milliseconds timeout) const {
    return WaitUntil([&] { return Stdout().find(text) != std::string::npos; }, timeout);
}

bool ChildProcess::WaitForStderr(const std::string& text, std::chrono::milliseconds timeout) const {
    return WaitUntil([&] { return Stderr().find(text) != std::string::npos; }, timeout);
}

}  // namespace launcher
