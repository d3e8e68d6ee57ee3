// The real vaultline against a simulated fleet, in a scratch directory: the fleet's servers, the
// configuration written for them, and the service's start and clean stop.
#include "fleet_fixture.h"

#include <signal.h>

#include <cstdlib>
#include <sstream>

#include <gmock/gmock.h>

using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::ChildProcess;
using testing_support::FleetAdapter;
using testing_support::FleetServer;
using testing_support::FleetTarget;
using testing_support::Simulator;

namespace process_support {

std::vector<std::string> Wrapper() {
    std::vector<std::string> words;
    if (const char* wrapper = std::getenv("VAULTLINE_TEST_WRAPPER")) {
        std::istringstream split(wrapper);
        for (std::string word; split >> word;) {
            words.push_back(word);
        }
    }
    return words;
}

const int kSlowdown = Wrapper().empty() ? 1 : 6;
const std::chrono::milliseconds kJobTimeout = std::chrono::seconds(20) * kSlowdown;

FleetServer TargetServer(const std::string& ip) {
    FleetServer target;
    target.name = "target";
    target.password = "target-secret";
    target.adapters = {
        FleetAdapter{"lo", "loopback", "00:00:00:00:00:00", "127.0.0.1", true, false},
        FleetAdapter{"eth0", "Onboard NIC", "00:11:22:33:44:55", ip, true, true}};
    return target;
}

FleetServer ClientServer(const std::string& name, const std::string& address,
                         const std::string& path) {
    FleetServer client;
    client.name = name;
    client.address = address;
    client.username = "backup";
    client.password = "client-secret";
    client.targets = {FleetTarget{1, false, "\\\\old-nas\\disabled"}, FleetTarget{7, true, path}};
    return client;
}

namespace {

std::string ConfigurationFor(const Simulator& simulator, const std::vector<FleetServer>& fleet,
                             const std::string& clientsAttributes,
                             const std::string& rootElements) {
    std::ostringstream xml;
    xml << "<Vaultline>\n  <ArchiveTarget Address=\"127.0.0.1\" Port=\"" << simulator.Port("target")
        << "\" Username=\"admin\" Password=\"target-secret\"/>\n"
        << "  <ArchiveClients Username=\"backup\" Password=\"client-secret\"" << clientsAttributes
        << ">\n";
    for (const auto& server : fleet) {
        if (server.name != "target") {
            xml << "    <ArchiveClient Address=\"" << server.address << "\" Port=\""
                << simulator.Port(server.name) << "\"/>\n";
        }
    }
    xml << "  </ArchiveClients>\n" << rootElements << "</Vaultline>\n";
    return xml.str();
}

}  // namespace

void EndToEnd::Start(std::vector<FleetServer> servers, const std::string& clientsAttributes,
                     const std::string& rootElements) {
    fleet = std::move(servers);
    simulator = std::make_unique<Simulator>(fleet);
    directory.WriteFile("vaultline.conf",
                        ConfigurationFor(*simulator, fleet, clientsAttributes, rootElements));
    std::vector<std::string> command = Wrapper();
    command.insert(command.end(), {VAULTLINE_BINARY, "-c"});
    service = std::make_unique<ChildProcess>(command, directory.Path());
}

void EndToEnd::EndCase() {
    service.reset();
    simulator.reset();
}

bool EndToEnd::LogShows(const std::string& text) {
    return service->WaitForStderr(text, kJobTimeout);
}

void EndToEnd::StopAndExpectCleanEnd() {
    service->Signal(SIGTERM);
    ASSERT_EQ(service->Wait(std::chrono::seconds(10) * kSlowdown), 0);
    const std::string log = service->Stderr();
    EXPECT_THAT(log, HasSubstr("FATAL   caught signal 15\n"));
    EXPECT_THAT(log, testing::EndsWith("INFO    Program complete.\n"));
    EXPECT_THAT(log, Not(HasSubstr("secret")));
}

}  // namespace process_support
