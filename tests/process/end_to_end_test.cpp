// The whole job against simulated servers: discovery, verification, rewriting, address changes,
// refused logins and dropped connections, with the real program and the stand-in SDK.
#include <signal.h>

#include <string>

#include <gmock/gmock.h>

#include "fleet_fixture.h"

using process_support::ClientServer;
using process_support::EndToEnd;
using process_support::kJobTimeout;
using process_support::TargetServer;
using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::CountOf;
using testing_support::FleetServer;
using testing_support::WaitUntil;

namespace {

TEST_F(EndToEnd,
       StaleHostIsRewrittenCorrectOneClosedMalformedOneReportedThenAddressChangeFollowed) {
    Start({TargetServer("10.0.0.5"),
           ClientServer("stale", "127.0.0.2", "\\\\10.0.0.50\\archive\\daily"),
           ClientServer("correct", "127.0.0.3", "\\\\10.0.0.5\\archive"),
           ClientServer("malformed", "127.0.0.4", "archive-share")});
    const std::string staleAddress = "127.0.0.2:" + std::to_string(simulator->Port("stale"));
    const std::string correctAddress = "127.0.0.3:" + std::to_string(simulator->Port("correct"));

    ASSERT_TRUE(LogShows("initial target address is 10.0.0.5; verifying clients"))
        << service->Stderr();
    EXPECT_THAT(service->Stderr(), HasSubstr("successful login to 127.0.0.1:"));
    EXPECT_THAT(service->Stderr(),
                HasSubstr("found connected adapter eth0 (Onboard NIC) IP 10.0.0.5 MAC "
                          "00:11:22:33:44:55 DHCP 1"));

    ASSERT_TRUE(WaitUntil(
        [&] { return simulator->TargetPath("stale", 7) == "\\\\10.0.0.5\\archive\\daily"; },
        kJobTimeout))
        << service->Stderr();
    ASSERT_TRUE(LogShows("127.0.0.4: bad archive target format, expected \\\\<host>\\"));
    ASSERT_TRUE(LogShows("closing connection to " + correctAddress));
    // The stale client's connection ends when it asks to after the update.
    ASSERT_TRUE(LogShows("closing connection to " + staleAddress));

    const std::string log = service->Stderr();
    EXPECT_THAT(log, HasSubstr("127.0.0.2: setting archive target address to "
                               "\\\\10.0.0.5\\archive\\daily"));
    EXPECT_THAT(log, HasSubstr("127.0.0.3: found archive target \\\\10.0.0.5\\archive\n"));
    EXPECT_THAT(log, HasSubstr("INFO    archive target address is correct, not updating"));
    EXPECT_EQ(simulator->TargetPath("correct", 7), "\\\\10.0.0.5\\archive");
    EXPECT_EQ(simulator->TargetPath("malformed", 7), "archive-share");
    EXPECT_EQ(simulator->TargetPath("stale", 1), "\\\\old-nas\\disabled");
    EXPECT_EQ(CountOf(simulator->Process().Stdout(), "update name=correct"), 0);

    // The target moves; the files keep the paths as they now are.
    auto moved = fleet;
    moved[0] = TargetServer("10.0.0.77");
    moved[1].targets[1].path = "\\\\10.0.0.5\\archive\\daily";
    ASSERT_TRUE(simulator->Reload(moved));
    ASSERT_TRUE(LogShows("archive target address changed: 10.0.0.5 -> 10.0.0.77; updating clients"))
        << service->Stderr();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return simulator->TargetPath("stale", 7) == "\\\\10.0.0.77\\archive\\daily" &&
                   simulator->TargetPath("correct", 7) == "\\\\10.0.0.77\\archive";
        },
        kJobTimeout))
        << service->Stderr();
    // The malformed client is checked again after the change, and still cannot be rewritten.
    EXPECT_TRUE(WaitUntil(
        [&] { return CountOf(service->Stderr(), "127.0.0.4: bad archive target format") == 2; },
        kJobTimeout))
        << service->Stderr();

    StopAndExpectCleanEnd();
}

// A client's path changed behind the service's back (no event tells of it) is put right by the
// next recheck, asked for with SIGUSR1 or periodic; the correct client is checked quietly.
TEST_F(EndToEnd, RecheckRewritesAClientChangedBehindTheServicesBack) {
    for (const bool signalled : {true, false}) {
        SCOPED_TRACE(signalled ? "SIGUSR1, periodic rechecks off" : "every 2 s");
        EndCase();
        Start({TargetServer("10.0.0.5"), ClientServer("moved", "127.0.0.2", "\\\\nas\\archive"),
               ClientServer("correct", "127.0.0.3", "\\\\10.0.0.5\\archive")},
              signalled ? " RecheckSeconds=\"0\"" : " RecheckSeconds=\"2\"");
        ASSERT_TRUE(
            LogShows("2 clients checked against 10.0.0.5 after the address change: "
                     "1 correct, 1 rewritten, 0 failing"))
            << service->Stderr();
        ASSERT_TRUE(
            WaitUntil([&] { return simulator->TargetPath("moved", 7) == "\\\\10.0.0.5\\archive"; },
                      kJobTimeout));
        ASSERT_TRUE(simulator->Reload(fleet));
        ASSERT_EQ(simulator->TargetPath("moved", 7), "\\\\nas\\archive");
        if (signalled) {
            service->Signal(SIGUSR1);
        }
        ASSERT_TRUE(LogShows("INFO    rechecking 2 clients against 10.0.0.5\n"))
            << service->Stderr();
        ASSERT_TRUE(
            LogShows("2 clients checked against 10.0.0.5 after the recheck: 1 correct, "
                     "1 rewritten, 0 failing"))
            << service->Stderr();
        // The settle line follows the update's send; the simulator applies it a moment later.
        EXPECT_TRUE(
            WaitUntil([&] { return simulator->TargetPath("moved", 7) == "\\\\10.0.0.5\\archive"; },
                      kJobTimeout));
        // Found correct during the recheck: DEBUG, which -c does not show.
        EXPECT_EQ(CountOf(service->Stderr(), "127.0.0.3: found archive target"), 1)
            << service->Stderr();
        StopAndExpectCleanEnd();
    }
}

TEST_F(EndToEnd, RefusedLoginIsRetriedEveryFiveSeconds) {
    FleetServer target = TargetServer("10.0.0.5");
    target.knobs["refuseLogin"] = "true";
    Start({target});

    // The simulator sees each attempt's login; its output times them.
    const std::string refused = "login name=target user=admin result=refused";
    const auto refusals = [&] { return CountOf(simulator->Process().Stdout(), refused); };
    using Clock = std::chrono::steady_clock;
    ASSERT_TRUE(WaitUntil([&] { return refusals() >= 1; }, kJobTimeout)) << service->Stderr();
    const auto firstRefusal = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return refusals() >= 2; }, kJobTimeout)) << service->Stderr();
    const auto gap = Clock::now() - firstRefusal;
    EXPECT_GE(gap, std::chrono::milliseconds(4800));
    EXPECT_LE(gap, std::chrono::milliseconds(8000));
    EXPECT_THAT(service->Stderr(), Not(HasSubstr("successful login")));
    StopAndExpectCleanEnd();
}

TEST_F(EndToEnd, DroppedConnectionIsReportedLostAndReconnected) {
    FleetServer target = TargetServer("10.0.0.5");
    target.knobs["dropAfterLoginMs"] = "300";
    Start({target});
    const std::string targetAddress = "127.0.0.1:" + std::to_string(simulator->Port("target"));

    ASSERT_TRUE(LogShows("WARNING connection to " + targetAddress + " lost")) << service->Stderr();
    ASSERT_TRUE(WaitUntil(
        [&] { return CountOf(service->Stderr(), "successful login to " + targetAddress) >= 2; },
        kJobTimeout))
        << service->Stderr();
    const std::string log = service->Stderr();
    const auto lost = log.find("connection to " + targetAddress + " lost");
    EXPECT_NE(log.find("INFO    connecting to server " + targetAddress, lost), std::string::npos);
    StopAndExpectCleanEnd();
}

}  // namespace
