// How a failed system call reads in a log line, the same in both programs.
#include "base/system_errors.h"

#include <cstring>

namespace vaultline {

std::string ErrorSuffix(int error) {
    return "; error " + std::to_string(error) + ": " + std::strerror(error);
}

}  // namespace vaultline
