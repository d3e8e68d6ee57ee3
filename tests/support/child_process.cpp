// Running a program to its end under a test's deadline, and counting what its output says.
#include "support/child_process.h"

#include <gtest/gtest.h>

namespace testing_support {

int CountOf(const std::string& text, const std::string& piece) {
    int count = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

Completed RunToCompletion(const std::vector<std::string>& arguments,
                          const std::filesystem::path& workingDirectory,
                          std::chrono::milliseconds timeout) {
    ChildProcess child(arguments, workingDirectory);
    const auto status = child.Wait(timeout);
    EXPECT_TRUE(status.has_value())
        << arguments.front() << " did not end within " << timeout.count() << " ms";
    return Completed{status.value_or(-1), child.Stdout(), child.Stderr()};
}

}  // namespace testing_support
