// The target watch through its interface: learning and following the target's address, the one
// pending discovery and its retry, and the recheck that waits for the adapters.
#include <gmock/gmock.h>

#include "unit/client_rounds_fixture.h"

namespace vaultline {

namespace {

std::string Found(const std::string& severity, const std::string& ip) {
    return severity + " found connected adapter eth0 (test adapter) IP " + ip +
           " MAC 00:11:22:33:44:55 DHCP 0";
}

class TargetWatchTest : public unit_support::RoundsFixture {
protected:
    TargetWatchTest() : RoundsFixture(0, false) {}
};

TEST_F(TargetWatchTest, AddressIsLearnedFollowedAndRetriedWhileThereIsNone) {
    Run({
        {0,
         Then({Watched(), TargetAdapter("10.0.0.5"), Discovered(), Watched()}),
         {"holds ", "discovery now", "address learned 10.0.0.5", "check clients: address change",
          "holds 10.0.0.5"},
         {Found("INFO", "10.0.0.5"), "INFO initial target address is 10.0.0.5; verifying clients"}},
        {1, Discovered(), {"discovery now"}, {Found("INFO", "10.0.0.5")}},
        {2,
         Then({TargetAdapter("10.0.0.7"), Discovered()}),
         {"discovery now", "address 10.0.0.5 -> 10.0.0.7", "check clients: address change"},
         {Found("INFO", "10.0.0.7"),
          "INFO archive target address changed: 10.0.0.5 -> 10.0.0.7; updating clients"}},
        // No address to use: the known one stays, and discovery is tried again later.
        {3,
         Then({TargetAdapter("0.0.0.0"), Discovered(), Watched()}),
         {"discovery now", "discovery later", "holds 10.0.0.7"},
         {Found("INFO", "0.0.0.0")}},
        // A delayed run pending takes no second one; an immediate request replaces it, and
        // the replaced run does nothing.
        {4, Discover(true), {}, {}},
        {5,
         Then({TargetAdapter(""), Discover(false), RunDiscovery(), Watched()}),
         {"discovery now", "discovery later", "holds 10.0.0.7"},
         {"ERROR no connected network adapters found"}},
        {6, Then({TargetAdapter("10.0.0.7"), RunDiscovery()}), {}, {Found("INFO", "10.0.0.7")}},
    });
}

TEST_F(TargetWatchTest, RecheckReadsTheAdaptersOnceTheTargetIsIdle) {
    Run({
        {0,
         Then({TargetAdapter("10.0.0.5"), Discovered()}),
         {"discovery now", "address learned 10.0.0.5", "check clients: address change"},
         {Found("INFO", "10.0.0.5"), "INFO initial target address is 10.0.0.5; verifying clients"}},
        // Unchanged: every client is rechecked, and the routine adapter line is quiet.
        {1,
         Then({Recheck(true), RunDiscovery(), Watched()}),
         {"discovery now", "check clients: recheck", "holds 10.0.0.5"},
         {Found("DEBUG", "10.0.0.5")}},
        // A busy target is asked at its next data.
        {2, Then({Recheck(false), Watched()}), {"holds 10.0.0.5, recheck wanted"}, {}},
        {3,
         Discovered(),
         {"discovery now", "check clients: recheck"},
         {Found("DEBUG", "10.0.0.5")}},
        // Without an address the recheck keeps waiting for one.
        {4,
         Then({TargetAdapter(""), Recheck(true), RunDiscovery(), Watched()}),
         {"discovery now", "discovery later", "holds 10.0.0.5, recheck wanted"},
         {"ERROR no connected network adapters found"}},
        // A changed address checks every client for the change, which covers the recheck.
        {5,
         Then({TargetAdapter("10.0.0.9"), RunDiscovery(), Watched()}),
         {"address 10.0.0.5 -> 10.0.0.9", "check clients: address change", "holds 10.0.0.9"},
         {Found("INFO", "10.0.0.9"),
          "INFO archive target address changed: 10.0.0.5 -> 10.0.0.9; updating clients"}},
    });
}

}  // namespace

}  // namespace vaultline
