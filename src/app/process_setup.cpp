// Process-wide settings made once at start: the descriptor limit and broken pipes.
#include "app/process_setup.h"

#include <sys/resource.h>

#include <csignal>

namespace vaultline {

bool RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return false;
    }
    if (limit.rlim_cur == limit.rlim_max) {
        return true;
    }
    limit.rlim_cur = limit.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

void IgnoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace vaultline
