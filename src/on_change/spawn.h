// Starting the on-change command as a clean child: no shell, nothing of the service's signal state
// or descriptors, a process group of its own, and the service's environment plus the moment's.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vaultline {

struct SpawnedCommand {
    pid_t pid = -1;
    // The read end of the one pipe that takes the command's standard output and error;
    // non-blocking and close-on-exec. The caller owns it.
    int output = -1;
};

// Starts `path` with no arguments. Standard input is /dev/null, standard output and error go to
// one pipe, and every other descriptor is closed. The signal mask is empty and every signal has
// its default action. The command leads a process group of its own, whose id is its pid, so it
// can be ended with everything it started. The environment is the service's, less its
// VAULTLINE_ variables and systemd's notification and watchdog addresses (meant for the service
// alone), plus `variables` ("NAME=value"). Returns 0 and fills `command`, or the errno of what
// failed (ENOENT and EACCES for a command that is missing or not executable; EMFILE, ENFILE,
// EAGAIN and ENOMEM when the system is out of descriptors, processes or memory); nothing is left
// open after a failure. Never waits for the command beyond its exec.
int SpawnCommand(const std::string& path, const std::vector<std::string>& variables,
                 SpawnedCommand& command);

// True for an errno of SpawnCommand that a later attempt may not meet.
bool IsTransientSpawnError(int error);

}  // namespace vaultline
