// A whole vaultline-check run on the scripted SDK: verdicts, exit status, and never an update.
#include <atomic>
#include <csignal>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>

#include "check/check_run.h"
#include "unit/service_fixture.h"

namespace vaultline {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr int kTarget = 1;

scripted_sdk::Target MakeTarget(const std::string& path) {
    scripted_sdk::Target target;
    target.id = 4;
    target.path = path;
    return target;
}

// How one scripted client behaves.
struct ClientScript {
    std::vector<scripted_sdk::Target> targets;
    long loginResult = 0;
    bool sendsData = true;
    int openResult = 0;
    bool loseSocket = false;
};

class CheckRunTest : public ::testing::Test {
protected:
    CheckRunTest() { scripted_sdk::Reset(); }

    // The target at 10.0.0.1 reports `adapterIp`; clients are 10.0.1.N, N from 1, in order.
    void Script(const std::string& adapterIp, const std::vector<ClientScript>& clients) {
        scripted_sdk::Configure(kTarget, [&](scripted_sdk::Connection& c) {
            scripted_sdk::Adapter adapter;
            adapter.ip = adapterIp;
            adapter.dhcp = 1;
            c.adapters = {adapter};
            c.eventsOnRecv = {{KXAPI_EVENT_LOGIN, 0}, {KXAPI_EVENT_DATA_READY, 0}};
        });
        std::ostringstream xml;
        xml << "<Vaultline><ArchiveTarget Address='10.0.0.1' Username='admin' Password='t0p'/>"
            << "<ArchiveClients Username='backup' Password='s3cret'>";
        for (std::size_t i = 0; i < clients.size(); ++i) {
            const ClientScript& script = clients[i];
            scripted_sdk::Configure(kTarget + 1 + static_cast<int>(i),
                                    [&](scripted_sdk::Connection& c) {
                                        c.targets = script.targets;
                                        c.openResult = script.openResult;
                                        c.reportSocket = !script.loseSocket;
                                        c.eventsOnRecv = {{KXAPI_EVENT_LOGIN, script.loginResult}};
                                        if (script.sendsData) {
                                            c.eventsOnRecv.push_back({KXAPI_EVENT_DATA_READY, 0});
                                        }
                                    });
            xml << "<ArchiveClient Address='10.0.1." << i + 1 << "'/>";
        }
        // The service's command is read like the rest, and never run by the check.
        xml << "</ArchiveClients><OnChange Command='/nonexistent/on-change'/></Vaultline>";
        options.configuration = directory.WriteFile("vaultline.conf", xml.str()).string();
        connections = static_cast<int>(clients.size()) + 1;
    }

    // Runs the check while making every scripted socket readable now and then, as a server's
    // messages would.
    int Run() {
        std::atomic<bool> finished{false};
        std::thread server([&] {
            while (!finished) {
                for (int connection = 1; connection <= connections; ++connection) {
                    scripted_sdk::MakeReadable(connection);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        const int status = RunCheck(options, stop, out);
        finished = true;
        server.join();
        return status;
    }

    std::vector<std::string> OutLines() const {
        std::vector<std::string> lines;
        std::istringstream in(out.str());
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    unit_support::LogCapture log;
    testing_support::TempDirectory directory;
    CheckOptions options;
    StopControl stop;
    std::ostringstream out;
    int connections = 0;
};

TEST_F(CheckRunTest, EveryVerdictIsReportedAndNothingIsEverUpdated) {
    ClientScript correct{{MakeTarget("\\\\10.0.0.5\\archive")}};
    ClientScript stale{{MakeTarget("\\\\nas01\\archive")}};
    ClientScript malformed{{MakeTarget("nas01\\archive")}};
    ClientScript refused{{}, 2};
    ClientScript cannotOpen;
    cannotOpen.openResult = -1;
    ClientScript lost;
    lost.loseSocket = true;
    Script("10.0.0.5", {correct, stale, malformed, refused, cannotOpen, lost});

    EXPECT_EQ(Run(), 1);
    EXPECT_THAT(OutLines(),
                ::testing::ElementsAre(
                    "target 10.0.0.1:22609 reached",
                    "  adapter 0 eth0 (test adapter) IP 10.0.0.5 MAC 00:11:22:33:44:55, "
                    "connected, DHCP",
                    "  chosen: adapter 0, address 10.0.0.5 (the first connected adapter with DHCP)",
                    "clients", "  10.0.1.1:22609 correct",
                    "  10.0.1.2:22609 would rewrite \\\\nas01\\archive -> \\\\10.0.0.5\\archive",
                    "  10.0.1.3:22609 bad format nas01\\archive", "  10.0.1.4:22609 login refused",
                    "  10.0.1.5:22609 unreachable", "  10.0.1.6:22609 unreachable",
                    "6 clients: 1 correct, 1 would be rewritten, 4 not checked"));
    EXPECT_THAT(scripted_sdk::Calls(), Not(Contains(HasSubstr("UpdateTargetEx"))));
    // Every SDK instance is released, and no password reaches the log.
    for (int connection = 1; connection <= connections; ++connection) {
        EXPECT_EQ(scripted_sdk::Inspect(connection).cleanups, 1) << connection;
    }
    for (const std::string& line : log.Lines()) {
        EXPECT_THAT(line, AllOf(Not(HasSubstr("t0p")), Not(HasSubstr("s3cret"))));
    }
}

TEST_F(CheckRunTest, StatusIsTwoWhenSomeWouldBeRewrittenAndZeroWhenAllAreCorrect) {
    Script("10.0.0.5", {{{MakeTarget("\\\\10.0.0.5\\a")}}, {{MakeTarget("\\\\10.0.0.9\\b")}}});
    EXPECT_EQ(Run(), 2);
    EXPECT_THAT(scripted_sdk::Calls(), Not(Contains(HasSubstr("UpdateTargetEx"))));

    scripted_sdk::Reset();
    Script("10.0.0.5", {{{MakeTarget("\\\\10.0.0.5\\a")}}, {{MakeTarget("\\\\10.0.0.5\\b")}}});
    EXPECT_EQ(Run(), 0);
}

TEST_F(CheckRunTest, TargetWithoutAnIPv4AddressFailsAndNoClientIsContacted) {
    const char* const reports[] = {"nas01", "0.0.0.0", "fe80::1", "10.0.0.5\x1b[2J"};
    for (const char* ip : reports) {
        SCOPED_TRACE(ip);
        scripted_sdk::Reset();
        out.str("");
        Script(ip, {{{MakeTarget("\\\\nas01\\a")}}});
        EXPECT_EQ(Run(), 1);
        EXPECT_THAT(out.str(), HasSubstr("clients not checked: the target gave no usable address"));
        EXPECT_THAT(out.str(), Not(HasSubstr("\x1b")));
        EXPECT_EQ(scripted_sdk::Inspect(2).opens, 0);
    }
}

TEST_F(CheckRunTest, ClientWithoutDataTimesOut) {
    ClientScript silent{{MakeTarget("\\\\10.0.0.5\\a")}};
    silent.sendsData = false;
    Script("10.0.0.5", {silent});
    options.timeoutSeconds = 1;
    EXPECT_EQ(Run(), 1);
    EXPECT_THAT(OutLines(), Contains("  10.0.1.1:22609 timed out"));
    EXPECT_EQ(scripted_sdk::Inspect(2).cleanups, 1);
}

TEST_F(CheckRunTest, StopRequestEndsTheRunWithEverythingLeftInterrupted) {
    Script("10.0.0.5", {{{MakeTarget("\\\\10.0.0.5\\a")}}});
    volatile std::sig_atomic_t stopped = SIGINT;
    stop.flag = &stopped;
    EXPECT_EQ(Run(), 1);
    EXPECT_THAT(OutLines(), Contains("target 10.0.0.1:22609 interrupted"));
}

TEST_F(CheckRunTest, ConfigurationFaultIsLoggedAsTheServiceLogsIt) {
    options.configuration = (directory.Path() / "missing.conf").string();
    EXPECT_EQ(RunCheck(options, stop, out), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_TRUE(log.Contains("FATAL unable to open configuration file " + options.configuration));
    EXPECT_THAT(scripted_sdk::Calls(), Not(Contains(HasSubstr("Init"))));
}

}  // namespace

}  // namespace vaultline
