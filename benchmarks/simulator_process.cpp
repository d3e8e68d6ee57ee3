// The benchmark's simulator child: spawned with output to files, polled, signalled, measured.
#include "simulator_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace benchmark {
namespace {

std::string ReadWhole(const std::string& path) {
    std::ifstream stream(path);
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

}  // namespace

SimulatorProcess::SimulatorProcess(const std::string& fleetXml) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vaultline-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    directory_ = pattern;
    std::ofstream(directory_ + "/fleet.xml") << fleetXml;

    std::vector<std::string> arguments = {ARCHIVE_SIMULATOR_BINARY, "--fleet",
                                          directory_ + "/fleet.xml", "--state",
                                          directory_ + "/state.xml"};
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const std::string out = directory_ + "/stdout";
    const std::string err = directory_ + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int error = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + arguments[0]);
    }
}

SimulatorProcess::~SimulatorProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

std::string SimulatorProcess::Stdout() const {
    return ReadWhole(directory_ + "/stdout");
}
std::string SimulatorProcess::Stderr() const {
    return ReadWhole(directory_ + "/stderr");
}

bool SimulatorProcess::WaitReady(int timeoutSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (Stdout().find("ready servers=") == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline ||
            waitpid(pid_, nullptr, WNOHANG) == pid_) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::istringstream lines(Stdout());
    std::string kind, name, address, port;
    while (lines >> kind) {
        if (kind == "listening" && lines >> name >> address >> port) {
            ports_[name.substr(5)] = static_cast<unsigned>(std::stoul(port.substr(5)));
        }
    }
    return true;
}

unsigned SimulatorProcess::Port(const std::string& name) const {
    const auto found = ports_.find(name);
    return found == ports_.end() ? 0 : found->second;
}

void SimulatorProcess::Reload(const std::string& fleetXml) {
    std::ofstream(directory_ + "/fleet.xml", std::ios::trunc) << fleetXml;
    kill(pid_, SIGHUP);
}

long SimulatorProcess::MemoryKib(const std::string& field) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string key;
    long value = -1;
    while (status >> key) {
        if (key == field + ":") {
            status >> value;
            return value;
        }
    }
    return -1;
}

int SimulatorProcess::Stop() {
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int raw = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid_, &raw, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

}  // namespace benchmark
