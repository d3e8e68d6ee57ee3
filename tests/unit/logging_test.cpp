// Severity names and the journal priorities they map to, including values outside the range.
#include <sstream>

#include <gtest/gtest.h>

#include "base/logging.h"

namespace vaultline {

namespace {

std::string NameOf(Severity severity) {
    std::ostringstream stream;
    stream << severity;
    return stream.str();
}

TEST(SeverityNames, EachSeverityPrintsItsNameAndPriority) {
    const struct {
        Severity severity;
        const char* name;
        int priority;
    } cases[] = {{Severity::DEBUG, "DEBUG", 7},
                 {Severity::INFO, "INFO", 6},
                 {Severity::WARNING, "WARNING", 4},
                 {Severity::ERROR, "ERROR", 3},
                 {Severity::FATAL, "FATAL", 2},
                 {static_cast<Severity>(7), "INVALID", -1},
                 {static_cast<Severity>(-1), "INVALID", -1}};
    for (const auto& expected : cases) {
        EXPECT_EQ(NameOf(expected.severity), expected.name);
        EXPECT_EQ(JournalPriority(expected.severity), expected.priority) << expected.name;
    }
}

}  // namespace

}  // namespace vaultline
