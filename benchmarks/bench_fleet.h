// The servers the benchmarks' fleets are made of, and the logins they share; written to a fleet
// file by the launcher's fleet writer.
#pragma once

#include <string>
#include <vector>

#include "launcher/simulator_process.h"

namespace bench {

struct Credentials {
    std::string username;
    std::string password;
};

extern const Credentials kTargetLogin;
extern const Credentials kClientLogin;

// The target, named "target", with one connected DHCP adapter at `address`.
launcher::FleetServer BenchTarget(const std::string& address);
// A client named "client<index>" holding `targets`.
launcher::FleetServer BenchClient(int index, std::vector<launcher::FleetTarget> targets);

}  // namespace bench
