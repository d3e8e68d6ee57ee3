// The operator's command for address changes and settled rounds, as the configuration gives it.
#pragma once

#include <chrono>
#include <string>

namespace vaultline {

struct OnChangeSettings {
    // An absolute path, run directly: no shell, no arguments.
    std::string command;
    // How long one run may take before it is terminated.
    std::chrono::seconds timeout{60};
};

}  // namespace vaultline
