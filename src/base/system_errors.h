// How a failed system call reads in a log line, the same in both programs.
#pragma once

#include <string>

namespace vaultline {

constexpr const char* kEpollCreateFailed = "epoll_create failed";
constexpr const char* kEpollAddFailed = "epoll_ctl (add) failed";
constexpr const char* kEpollWaitFailed = "epoll_wait failed";

// "; error <number>: <description>" for the errno value `error`: the end of the line that names
// the failed call.
std::string ErrorSuffix(int error);

}  // namespace vaultline
