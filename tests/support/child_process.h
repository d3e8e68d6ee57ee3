// The shared child-process launcher as the tests use it, plus running a program to its end under
// a test's deadline and counting what its output says.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "launcher/child_process.h"

namespace testing_support {

using launcher::ChildProcess;
using launcher::ReadFile;
using launcher::TempDirectory;
using launcher::WaitUntil;

struct Completed {
    int status;
    std::string out;
    std::string err;
};

// How often `piece` occurs in `text`, such as a child's output, overlaps included.
int CountOf(const std::string& text, const std::string& piece);

// Runs a program to its end; fails the calling test (and kills the child) after `timeout`.
Completed RunToCompletion(const std::vector<std::string>& arguments,
                          const std::filesystem::path& workingDirectory = {},
                          std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace testing_support
