// The servers the benchmarks' fleets are made of, and the logins they share.
#include "bench_fleet.h"

#include <utility>

namespace bench {

const Credentials kTargetLogin{"admin", "bench"};
const Credentials kClientLogin{"backup", "bench"};

launcher::FleetServer BenchTarget(const std::string& address) {
    launcher::FleetServer target;
    target.name = "target";
    target.username = kTargetLogin.username;
    target.password = kTargetLogin.password;
    target.adapters = {{"eth0", "nic", "52:54:00:00:00:01", address, true, true}};
    return target;
}

launcher::FleetServer BenchClient(int index, std::vector<launcher::FleetTarget> targets) {
    launcher::FleetServer client;
    client.name = "client" + std::to_string(index);
    client.username = kClientLogin.username;
    client.password = kClientLogin.password;
    client.targets = std::move(targets);
    return client;
}

}  // namespace bench
