// vaultline-check against simulated servers: its report, its JSON document, its exit status, and
// that nothing on any server changes.
#include <signal.h>
#include <sys/stat.h>

#include <sstream>

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include "support/child_process.h"
#include "support/simulator_harness.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::ChildProcess;
using testing_support::Completed;
using testing_support::CountOf;
using testing_support::FleetAdapter;
using testing_support::FleetServer;
using testing_support::FleetTarget;
using testing_support::ReadFile;
using testing_support::RunToCompletion;
using testing_support::Simulator;
using testing_support::TempDirectory;

namespace {

// Nothing listens on port 1 of the loopback address.
constexpr unsigned kClosedPort = 1;

FleetServer Client(const std::string& name, const std::string& path) {
    FleetServer client;
    client.name = name;
    client.username = "backup";
    client.password = "client-secret";
    client.targets = {FleetTarget{1, false, "\\\\old\\off"}, FleetTarget{3, true, path}};
    return client;
}

std::vector<FleetServer> Fleet(std::vector<FleetServer> clients) {
    FleetServer target;
    target.name = "target";
    target.password = "target-secret";
    target.adapters = {
        FleetAdapter{"lo", "loopback", "00:00:00:00:00:00", "127.0.0.1", true, false},
        FleetAdapter{"eth0", "Onboard NIC", "00:11:22:33:44:55", "10.0.0.5", true, true}};
    clients.insert(clients.begin(), target);
    return clients;
}

class CheckAgainstSimulator : public ::testing::Test {
protected:
    // Starts the simulator and writes vaultline.conf for its servers, then `extraClients` (an
    // address and port each) that it does not play.
    void Start(std::vector<FleetServer> clients,
               const std::vector<std::pair<std::string, unsigned>>& extraClients = {}) {
        fleet = Fleet(std::move(clients));
        simulator = std::make_unique<Simulator>(fleet);
        std::ostringstream xml;
        xml << "<Vaultline><ArchiveTarget Address=\"127.0.0.1\" Port=\""
            << simulator->Port("target") << "\" Username=\"admin\" Password=\"target-secret\"/>"
            << "<ArchiveClients Username=\"backup\" Password=\"client-secret\">";
        for (const FleetServer& server : fleet) {
            if (server.name != "target") {
                xml << "<ArchiveClient Address=\"127.0.0.1\" Port=\""
                    << simulator->Port(server.name) << "\"/>";
            }
        }
        for (const auto& [address, port] : extraClients) {
            xml << "<ArchiveClient Address=\"" << address << "\" Port=\"" << port << "\"/>";
        }
        xml << "</ArchiveClients></Vaultline>";
        configuration = directory.WriteFile("vaultline.conf", xml.str());
    }

    std::string Line(const std::string& server, const std::string& verdict) const {
        return "  127.0.0.1:" + std::to_string(simulator->Port(server)) + " " + verdict;
    }

    TempDirectory directory;
    std::filesystem::path configuration;
    std::vector<FleetServer> fleet;
    std::unique_ptr<Simulator> simulator;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST_F(CheckAgainstSimulator, ReportsEachClientAndChangesNothing) {
    FleetServer refusing = Client("refusing", "\\\\nas01\\archive");
    refusing.knobs["refuseLogin"] = "true";
    Start({Client("correct", "\\\\10.0.0.5\\archive"), Client("stale", "\\\\nas01\\archive\\daily"),
           Client("malformed", "nas01\\archive"), refusing},
          {{"127.0.0.1", kClosedPort}});
    const std::string stateBefore = ReadFile(simulator->StatePath());

    // From the configuration's own folder, as an operator runs it from /etc/vaultline.
    const Completed text = RunToCompletion({VAULTLINE_CHECK_BINARY}, directory.Path());
    EXPECT_EQ(text.status, 1) << text.err;
    EXPECT_THAT(
        Lines(text.out),
        ElementsAre("target 127.0.0.1:" + std::to_string(simulator->Port("target")) + " reached",
                    "  adapter 0 lo (loopback) IP 127.0.0.1 MAC 00:00:00:00:00:00, "
                    "connected, no DHCP",
                    "  adapter 1 eth0 (Onboard NIC) IP 10.0.0.5 MAC 00:11:22:33:44:55, "
                    "connected, DHCP",
                    "  chosen: adapter 1, address 10.0.0.5 (the first connected adapter "
                    "with DHCP)",
                    "clients", Line("correct", "correct"),
                    Line("stale",
                         "would rewrite \\\\nas01\\archive\\daily -> "
                         "\\\\10.0.0.5\\archive\\daily"),
                    Line("malformed", "bad format nas01\\archive"),
                    Line("refusing", "login refused"), "  127.0.0.1:1 unreachable",
                    "5 clients: 1 correct, 1 would be rewritten, 3 not checked"));
    EXPECT_THAT(text.err, Not(HasSubstr("secret")));

    const Completed json =
        RunToCompletion({VAULTLINE_CHECK_BINARY, "--json", "--config", configuration.string()});
    EXPECT_EQ(json.status, 1) << json.err;
    const auto document = nlohmann::json::parse(json.out);
    EXPECT_EQ(document["target"]["status"], "ok");
    EXPECT_EQ(document["target"]["archiveAddress"], "10.0.0.5");
    EXPECT_EQ(document["target"]["chosenAdapter"], 1);
    std::vector<std::string> verdicts;
    for (const auto& client : document["clients"]) {
        verdicts.push_back(client["verdict"]);
    }
    EXPECT_THAT(verdicts, ElementsAre("correct", "would rewrite", "bad format", "login refused",
                                      "unreachable"));
    EXPECT_EQ(document["clients"][1]["path"], "\\\\nas01\\archive\\daily");
    EXPECT_EQ(document["clients"][1]["newPath"], "\\\\10.0.0.5\\archive\\daily");
    EXPECT_EQ(document["exitStatus"], 1);

    // Not a byte written on any server.
    EXPECT_EQ(ReadFile(simulator->StatePath()), stateBefore);
    EXPECT_THAT(simulator->Process().Stdout(), Not(HasSubstr("update ")));
}

TEST_F(CheckAgainstSimulator, ExitStatusIsTwoForRewritesOnlyAndZeroWhenAllAreCorrect) {
    Start({Client("correct", "\\\\10.0.0.5\\a"), Client("stale", "\\\\10.0.0.50\\b")});
    EXPECT_EQ(RunToCompletion({VAULTLINE_CHECK_BINARY}, directory.Path()).status, 2);

    Start({Client("correct", "\\\\10.0.0.5\\a"), Client("also", "\\\\10.0.0.5\\b")});
    const Completed run = RunToCompletion({VAULTLINE_CHECK_BINARY, "--json"}, directory.Path());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(nlohmann::json::parse(run.out)["exitStatus"], 0);
}

TEST_F(CheckAgainstSimulator, SlowClientTimesOutAndStopSignalEndsTheRun) {
    FleetServer slow = Client("slow", "\\\\10.0.0.5\\a");
    slow.knobs["replyDelayMs"] = "30000";
    Start({Client("correct", "\\\\10.0.0.5\\a"), slow});

    const Completed timed =
        RunToCompletion({VAULTLINE_CHECK_BINARY, "--timeout", "1"}, directory.Path());
    EXPECT_EQ(timed.status, 1);
    EXPECT_THAT(Lines(timed.out), ::testing::Contains(Line("slow", "timed out")));

    // The stop comes once the run is under way: the correct client has logged in again.
    ChildProcess check({VAULTLINE_CHECK_BINARY, "--timeout", "60"}, directory.Path());
    ASSERT_TRUE(testing_support::WaitUntil(
        [&] { return CountOf(simulator->Process().Stdout(), "login name=correct ") == 2; },
        std::chrono::seconds(10)));
    check.Signal(SIGINT);
    const auto status = check.Wait(std::chrono::seconds(10));
    ASSERT_TRUE(status.has_value()) << "vaultline-check did not stop";
    EXPECT_EQ(*status, 1);
    EXPECT_THAT(Lines(check.Stdout()), ::testing::Contains(Line("slow", "interrupted")));
}

// Ctrl-C and SIGTERM end the run at every stage with the status of an interrupted run: while
// the configuration named is a FIFO nobody writes to, and while a client's name is being looked
// up by a resolver that never answers.
TEST_F(CheckAgainstSimulator, StopSignalEndsTheRunAtEveryStage) {
    const std::filesystem::path fifo = directory.Path() / "fifo.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ChildProcess opening({VAULTLINE_CHECK_BINARY, "--config", fifo.string()});
    // Until the open blocks; past the wait, the signal comes anyway.
    testing_support::WaitUntil(
        [&] {
            return ReadFile("/proc/" + std::to_string(opening.Pid()) + "/wchan") ==
                   "wait_for_partner";
        },
        std::chrono::seconds(10));
    opening.Signal(SIGINT);
    EXPECT_EQ(opening.Wait(std::chrono::seconds(5)), 1) << "stuck opening a FIFO";
    EXPECT_EQ(opening.Stdout(), "");

    Start({Client("correct", "\\\\10.0.0.5\\a")}, {{"client.hang.test", 4000}});
    ChildProcess looking(
        {"/usr/bin/env", "LD_PRELOAD=" LOOKUP_SHIM_PATH, "ASAN_OPTIONS=verify_asan_link_order=0",
         VAULTLINE_CHECK_BINARY, "--timeout", "60"},
        directory.Path());
    ASSERT_TRUE(testing_support::WaitUntil(
        [&] { return CountOf(simulator->Process().Stdout(), "login name=correct ") == 1; },
        std::chrono::seconds(10)));
    looking.Signal(SIGTERM);
    EXPECT_EQ(looking.Wait(std::chrono::seconds(5)), 1) << "stuck in a name lookup";
    EXPECT_THAT(Lines(looking.Stdout()),
                ::testing::Contains("  client.hang.test:4000 interrupted"));
}

TEST_F(CheckAgainstSimulator, BadConfigurationOrCommandLineIsStatusOne) {
    const Completed missing = RunToCompletion({VAULTLINE_CHECK_BINARY}, directory.Path());
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_THAT(missing.err, HasSubstr("FATAL   unable to open configuration file vaultline.conf"));

    directory.WriteFile("vaultline.conf",
                        "<V><ArchiveTarget Address='t' Username='u' Password='hunter2'/></V>");
    const Completed noClients = RunToCompletion({VAULTLINE_CHECK_BINARY}, directory.Path());
    EXPECT_EQ(noClients.status, 1);
    EXPECT_THAT(noClients.err, HasSubstr("FATAL   configuration missing <ArchiveClients>"));
    EXPECT_THAT(noClients.err, Not(HasSubstr("hunter2")));

    for (const char* timeout : {"0", "3601", "ten"}) {
        const Completed bad = RunToCompletion({VAULTLINE_CHECK_BINARY, "--timeout", timeout});
        EXPECT_EQ(bad.status, 1) << timeout;
        EXPECT_THAT(bad.err, HasSubstr("Usage: vaultline-check")) << timeout;
    }
}

}  // namespace
