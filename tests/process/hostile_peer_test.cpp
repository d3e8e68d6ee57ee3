// Clients that accept a connection and then get nowhere: the real program with the stand-in SDK
// closes such a connection and tries again, with the full 30 s and 5 s of the service.
#include <signal.h>

#include <sstream>

#include <gmock/gmock.h>

#include "fake_server.h"
#include "support/child_process.h"
#include "support/simulator_harness.h"

using kxapi_testing::FakeServer;
using testing_support::ChildProcess;
using testing_support::FleetAdapter;
using testing_support::FleetServer;
using testing_support::Simulator;
using testing_support::TempDirectory;
using namespace std::chrono_literals;

namespace {

TEST(HostilePeer, ConnectionThatGetsNowhereIsClosedAndTriedAgain) {
    FleetServer target;
    target.name = "target";
    target.adapters = {FleetAdapter{"eth0", "uplink", "00:11:22:33:44:55", "10.0.0.5", true, true}};
    Simulator simulator({target});
    // One never answers, one stops in the middle of its data set, one asks to close at once.
    FakeServer silent;
    FakeServer halfway;
    FakeServer closing;
    std::ostringstream xml;
    xml << "<Vaultline><ArchiveTarget Address=\"127.0.0.1\" Port=\"" << simulator.Port("target")
        << "\" Username=\"admin\" Password=\"secret\"/><ArchiveClients Username=\"u\" "
           "Password=\"p\">";
    for (const FakeServer* peer : {&silent, &halfway, &closing}) {
        xml << "<ArchiveClient Address=\"127.0.0.1\" Port=\"" << peer->Port() << "\"/>";
    }
    xml << "</ArchiveClients></Vaultline>";
    TempDirectory directory;
    directory.WriteFile("vaultline.conf", xml.str());
    ChildProcess service({VAULTLINE_BINARY, "-c"}, directory.Path());
    const auto name = [](const FakeServer& peer) {
        return "127.0.0.1:" + std::to_string(peer.Port());
    };

    ASSERT_TRUE(silent.Accept(20s)) << service.Stderr();
    ASSERT_TRUE(halfway.Accept());
    ASSERT_TRUE(halfway.Read());
    halfway.Send(kxapi_testing::Encoded({kxprotocol::LoginResult{}, kxprotocol::DataBegin{0, 1}}));
    ASSERT_TRUE(closing.Accept());
    ASSERT_TRUE(closing.Read());
    closing.Send(kxapi_testing::Encoded({kxprotocol::LoginResult{}, kxprotocol::CloseRequest{}}));
    const auto asked = std::chrono::steady_clock::now();

    closing.Close();
    ASSERT_TRUE(closing.Accept(10s)) << service.Stderr();
    const auto again = std::chrono::steady_clock::now() - asked;
    EXPECT_GE(again, 4500ms);
    EXPECT_LE(again, 8000ms);

    ASSERT_TRUE(service.WaitForStderr(
        "WARNING no login answer from " + name(silent) + " within 30 s; reconnecting\n", 40s))
        << service.Stderr();
    ASSERT_TRUE(service.WaitForStderr(
        "WARNING no archive target data from " + name(halfway) + " within 30 s; reconnecting\n",
        10s))
        << service.Stderr();
    silent.Close();
    halfway.Close();
    EXPECT_TRUE(silent.Accept(10s));
    EXPECT_TRUE(halfway.Accept(10s));

    service.Signal(SIGTERM);
    EXPECT_EQ(service.Wait(10s), 0);
}

}  // namespace
