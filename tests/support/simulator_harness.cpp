// A test's archive-simulator: its own fault reports fail the test.
#include "support/simulator_harness.h"

#include <gtest/gtest.h>

namespace testing_support {

Simulator::Simulator(const std::vector<FleetServer>& fleet) : SimulatorProcess(FleetXml(fleet)) {}

Simulator::~Simulator() {
    Stop();
    // A sanitizer build of the simulator reports its own faults on stderr; a test must not pass
    // over them.
    const std::string err = Process().Stderr();
    for (const char* report : {"Sanitizer", "runtime error:"}) {
        if (err.find(report) != std::string::npos) {
            ADD_FAILURE() << "archive-simulator reported a fault:\n" << err;
            break;
        }
    }
}

}  // namespace testing_support
