// Severity names and the journal priorities they map to, including values outside the range.
#include <sstream>

#include <gtest/gtest.h>

#include "base/logging.h"

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
    } cases[] = {{DEBUG, "DEBUG", 7},
                 {INFO, "INFO", 6},
                 {WARNING, "WARNING", 4},
                 {ERROR, "ERROR", 3},
                 {FATAL, "FATAL", 2},
                 {static_cast<Severity>(7), "INVALID", -1},
                 {static_cast<Severity>(-1), "INVALID", -1}};
    for (const auto& expected : cases) {
        EXPECT_EQ(NameOf(expected.severity), expected.name);
        EXPECT_EQ(JournalPriority(expected.severity), expected.priority) << expected.name;
    }
}

}  // namespace
