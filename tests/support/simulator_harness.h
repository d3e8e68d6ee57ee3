// archive-simulator for a test: the shared launcher, failing the test on the simulator's own
// sanitizer reports.
#pragma once

#include <string>
#include <vector>

#include "launcher/simulator_process.h"
#include "support/child_process.h"

namespace testing_support {

using launcher::FleetAdapter;
using launcher::FleetServer;
using launcher::FleetTarget;
using launcher::FleetXml;

// Starts like launcher::SimulatorProcess; the destructor stops the simulator and fails the
// current test if it printed a sanitizer report.
class Simulator : public launcher::SimulatorProcess {
public:
    explicit Simulator(const std::vector<FleetServer>& fleet);
    ~Simulator();
};

}  // namespace testing_support
