// Starting the on-change command as a clean child: no shell, nothing of the service's signal state
// or descriptors, a process group of its own, and the service's environment plus the moment's.
#include "on_change/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

extern char** environ;

namespace vaultline {

namespace {

// What the child must not inherit from the service's environment: values it would read as its
// own moment's, and systemd's addresses, which take messages from the service's process only.
bool Withheld(std::string_view entry) {
    const auto name = entry.substr(0, entry.find('='));
    return name.rfind("VAULTLINE_", 0) == 0 || name == "NOTIFY_SOCKET" || name == "WATCHDOG_PID" ||
           name == "WATCHDOG_USEC";
}

// Owns the spawn's attribute and file-action objects.
class SpawnSetup {
public:
    SpawnSetup() {
        attributesReady_ = posix_spawnattr_init(&attributes_) == 0;
        actionsReady_ = posix_spawn_file_actions_init(&actions_) == 0;
    }
    ~SpawnSetup() {
        if (attributesReady_) {
            posix_spawnattr_destroy(&attributes_);
        }
        if (actionsReady_) {
            posix_spawn_file_actions_destroy(&actions_);
        }
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // 0, or the errno of the first step that failed.
    int Prepare(int outputWrite) {
        if (!attributesReady_ || !actionsReady_) {
            return ENOMEM;
        }
        // The worker thread blocks SIGUSR1 and the service ignores SIGPIPE; a command inheriting
        // either would not stop when its reader goes away, or ever take the signal.
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        int error = posix_spawnattr_setsigmask(&attributes_, &none);
        if (error == 0) {
            error = posix_spawnattr_setsigdefault(&attributes_, &all);
        }
        if (error == 0) {
            error = posix_spawnattr_setpgroup(&attributes_, 0);
        }
        if (error == 0) {
            error = posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK |
                                                               POSIX_SPAWN_SETSIGDEF |
                                                               POSIX_SPAWN_SETPGROUP);
        }
        if (error == 0) {
            error =
                posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        }
        if (error == 0) {
            error = posix_spawn_file_actions_adddup2(&actions_, outputWrite, STDOUT_FILENO);
        }
        if (error == 0) {
            error = posix_spawn_file_actions_adddup2(&actions_, outputWrite, STDERR_FILENO);
        }
        // The SDK may leave its sockets open across exec; the command gets none of them.
        if (error == 0) {
            error = posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
        }
        return error;
    }

    const posix_spawnattr_t* Attributes() const { return &attributes_; }
    const posix_spawn_file_actions_t* Actions() const { return &actions_; }

private:
    posix_spawnattr_t attributes_{};
    posix_spawn_file_actions_t actions_{};
    bool attributesReady_ = false;
    bool actionsReady_ = false;
};

}  // namespace

int SpawnCommand(const std::string& path, const std::vector<std::string>& variables,
                 SpawnedCommand& command) {
    std::vector<char*> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (!Withheld(*entry)) {
            environment.push_back(*entry);
        }
    }
    for (const auto& variable : variables) {
        environment.push_back(const_cast<char*>(variable.c_str()));
    }
    environment.push_back(nullptr);

    // Each end of a pipe has a status of its own: only the service's end is non-blocking.
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return errno;
    }
    int error = fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK) == 0 ? 0 : errno;
    pid_t pid = -1;
    if (error == 0) {
        SpawnSetup setup;
        error = setup.Prepare(pipeEnds[1]);
        if (error == 0) {
            char* const arguments[] = {const_cast<char*>(path.c_str()), nullptr};
            error = posix_spawn(&pid, path.c_str(), setup.Actions(), setup.Attributes(), arguments,
                                environment.data());
        }
    }
    close(pipeEnds[1]);
    if (error != 0) {
        close(pipeEnds[0]);
        return error;
    }
    command.pid = pid;
    command.output = pipeEnds[0];
    return 0;
}

bool IsTransientSpawnError(int error) {
    return error == EAGAIN || error == EMFILE || error == ENFILE || error == ENOMEM;
}

}  // namespace vaultline
