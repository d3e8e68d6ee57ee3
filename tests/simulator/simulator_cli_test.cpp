// archive-simulator as a program: command line, fleet-file errors, start-up output, state file.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "support/child_process.h"
#include "support/simulator_harness.h"

namespace {

using testing_support::Completed;
using testing_support::FleetServer;
using testing_support::RunToCompletion;
using testing_support::Simulator;
using testing_support::TempDirectory;

Completed RunWithFleet(const std::string& fleetXml) {
    TempDirectory directory;
    const auto fleet = directory.WriteFile("fleet.xml", fleetXml);
    return RunToCompletion({ARCHIVE_SIMULATOR_BINARY, "--fleet", fleet.string(), "--state",
                            (directory.Path() / "state.xml").string()});
}

std::string ServerXml(const std::string& attributes, const std::string& children = "") {
    return "<Server " + attributes + ">" + children + "</Server>";
}

const std::string kGood = R"(name="a" port="0" username="u" password="p")";

TEST(SimulatorCliTest, BrokenFleetFilesAreRefusedWithAClearMessage) {
    struct Case {
        const char* what;
        std::string xml;
        std::vector<std::string> mentions;
    };
    const std::vector<Case> cases = {
        {"malformed XML", "<Fleet><Server name=\"a\"", {"fleet.xml", "XML_ERROR"}},
        {"wrong root", "<Servers/>", {"<Fleet>"}},
        {"missing name",
         ServerXml(R"(port="0" username="u" password="p")"),
         {"server #1", "attribute name", "missing"}},
        {"non-numeric port",
         ServerXml(R"(name="a" port="http" username="u" password="p")"),
         {"server \"a\"", "attribute port", "http"}},
        {"port above 65535",
         ServerXml(R"(name="a" port="65536" username="u" password="p")"),
         {"server \"a\"", "attribute port"}},
        {"negative port",
         ServerXml(R"(name="a" port="-1" username="u" password="p")"),
         {"server \"a\"", "attribute port"}},
        {"missing port",
         ServerXml(R"(name="a" username="u" password="p")"),
         {"server \"a\"", "attribute port", "missing"}},
        {"missing password",
         ServerXml(R"(name="a" port="0" username="u")"),
         {"server \"a\"", "attribute password", "missing"}},
        {"duplicate name",
         ServerXml(kGood) + ServerXml(kGood),
         {"server \"a\"", "attribute name", "twice"}},
        {"duplicate port",
         ServerXml(R"(name="a" port="45001" username="u" password="p")") +
             ServerXml(R"(name="b" port="45001" username="u" password="p")"),
         {"server \"b\"", "attribute port", "45001", "server \"a\" on 127.0.0.1"}},
        {"duplicate port on one address spelt two ways",
         ServerXml(R"(name="a" address="::1" port="45001" username="u" password="p")") +
             ServerXml(R"(name="b" address="0::1" port="45001" username="u" password="p")"),
         {"server \"b\"", "45001 on 0::1", "server \"a\" on ::1"}},
        {"duplicate target id",
         ServerXml(kGood, R"(<Target id="3" path="x"/><Target id="3" path="y"/>)"),
         {"server \"a\"", "target 2", "attribute id", "twice"}},
        {"unknown boolean",
         ServerXml(kGood + R"( refuseLogin="yes")"),
         {"server \"a\"", "attribute refuseLogin", "yes"}},
        {"probability out of range",
         ServerXml(kGood + R"( dropProbability="1.5")"),
         {"server \"a\"", "attribute dropProbability"}},
        {"host name as address",
         ServerXml(kGood + R"( address="example.com")"),
         {"server \"a\"", "attribute address"}},
        {"misspelt knob",
         ServerXml(kGood + R"( refuseLogins="true")"),
         {"server \"a\"", "attribute refuseLogins", "unknown"}},
        {"unknown child", ServerXml(kGood, "<Disk/>"), {"server \"a\"", "<Disk>"}},
        {"adapter without name",
         ServerXml(kGood, R"(<Adapter ip="10.0.0.1"/>)"),
         {"server \"a\"", "adapter 1", "attribute name"}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        const std::string xml =
            row.xml.rfind("<Fleet>", 0) == 0 || row.xml.rfind("<Servers", 0) == 0
                ? row.xml
                : "<Fleet>" + row.xml + "</Fleet>";
        const Completed run = RunWithFleet(xml);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out.find("ready"), std::string::npos);
        for (const std::string& mention : row.mentions) {
            EXPECT_NE(run.err.find(mention), std::string::npos) << run.err;
        }
    }
}

TEST(SimulatorCliTest, BadCommandLinesExitWithStatusOne) {
    const std::vector<std::vector<std::string>> commandLines = {
        {ARCHIVE_SIMULATOR_BINARY},
        {ARCHIVE_SIMULATOR_BINARY, "--fleet", "f.xml"},
        {ARCHIVE_SIMULATOR_BINARY, "--fleet", "f.xml", "--state"},
        {ARCHIVE_SIMULATOR_BINARY, "--fleet", "f.xml", "--state", "s.xml", "--verbose"},
        {ARCHIVE_SIMULATOR_BINARY, "--fleet", "/nonexistent/fleet.xml", "--state", "s.xml"},
    };
    for (const auto& arguments : commandLines) {
        const Completed run = RunToCompletion(arguments);
        EXPECT_EQ(run.status, 1) << arguments.size();
        EXPECT_NE(run.err.find("archive-simulator: "), std::string::npos) << run.err;
    }
    const Completed help = RunToCompletion({ARCHIVE_SIMULATOR_BINARY, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--fleet"), std::string::npos);
}

TEST(SimulatorCliTest, PortInUseFailsTheStart) {
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));

    const Completed run = RunWithFleet(
        "<Fleet>" + ServerXml(R"(name="busy" username="u" password="p" port=")" + port + "\"") +
        "</Fleet>");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("server \"busy\""), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(port), std::string::npos) << run.err;
    close(taken);
}

// Real clients all listen on one port, each on its own address.
TEST(SimulatorCliTest, ServersOnDifferentAddressesShareAPort) {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7f000015);  // 127.0.0.21
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), length), 0);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    const unsigned port = ntohs(address.sin_port);

    std::vector<FleetServer> fleet;
    for (int host = 21; host <= 25; ++host) {
        FleetServer client;
        client.name = "client" + std::to_string(host);
        client.address = "127.0.0." + std::to_string(host);
        client.port = port;
        fleet.push_back(client);
    }
    Simulator simulator(fleet);
    for (const FleetServer& client : fleet) {
        EXPECT_EQ(simulator.Port(client.name), port) << client.name;
    }
    EXPECT_NE(simulator.Process().Stdout().find("ready servers=5"), std::string::npos);
}

TEST(SimulatorCliTest, StartPrintsPortsAndWritesTheStateThenStopsCleanly) {
    FleetServer first;
    first.name = "first";
    first.targets = {{1, true, "\\\\10.0.0.9\\archive"}, {2, false, "\\\\10.0.0.9\\b & <c>"}};
    FleetServer second;
    second.name = "second";
    second.address = "::1";
    Simulator simulator({first, second});

    EXPECT_NE(simulator.Port("first"), 0u);
    EXPECT_NE(simulator.Port("second"), 0u);
    EXPECT_NE(simulator.Process().Stdout().find("listening name=second address=::1 port=" +
                                                std::to_string(simulator.Port("second"))),
              std::string::npos);
    EXPECT_NE(simulator.Process().Stdout().find("ready servers=2"), std::string::npos);

    tinyxml2::XMLDocument state;
    ASSERT_EQ(state.LoadFile(simulator.StatePath().c_str()), tinyxml2::XML_SUCCESS);
    const auto* server = state.RootElement()->FirstChildElement("Server");
    ASSERT_NE(server, nullptr);
    EXPECT_STREQ(server->Attribute("name"), "first");
    EXPECT_STREQ(server->Attribute("address"), "127.0.0.1");
    EXPECT_EQ(server->UnsignedAttribute("port"), simulator.Port("first"));
    EXPECT_STREQ(server->FirstChildElement("Target")->NextSiblingElement()->Attribute("enabled"),
                 "false");
    EXPECT_EQ(simulator.TargetPath("first", 2), "\\\\10.0.0.9\\b & <c>");
    EXPECT_STREQ(server->NextSiblingElement("Server")->Attribute("name"), "second");

    EXPECT_EQ(simulator.Stop(), 0);
    EXPECT_EQ(simulator.Process().Stdout().find("secret"), std::string::npos);
}

}  // namespace
