// The client rounds through their interface: when a round settles and what it counts, the
// one check per connection and interval, the confirmation of rewrites and its backoff, and
// when a recheck is due.
#include <gmock/gmock.h>

#include "unit/client_rounds_fixture.h"

namespace vaultline {

using unit_support::RoundsFixture;

namespace {

using Outcome = ClientOutcome;

const char* const kFound = "found 10.0.1.1 \\\\nas\\a";
const char* const kRewritten = "rewritten 10.0.1.1 \\\\10.0.0.5\\a";
const char* const kFoundLine = "INFO 10.0.1.1: found archive target \\\\nas\\a";
const char* const kSettingLine = "INFO 10.0.1.1: setting archive target address to \\\\10.0.0.5\\a";

class ClientRoundsTest : public RoundsFixture {};

TEST_F(ClientRoundsTest, RoundSettlesOnceWhenEveryClientHasAnOutcome) {
    Run({
        {0,
         Start(RoundReason::AddressChange),
         {"round started, next recheck at 3600", "reconnect 10.0.1.1 INFO",
          "reconnect 10.0.1.2 INFO"},
         {}},
        {1, Report(0, Outcome::Correct), {"outcome 10.0.1.1 Correct"}, {}},
        // A later outcome replaces the client's, but the round still waits for the other.
        {2, Report(0, Outcome::Unreachable), {"outcome 10.0.1.1 Unreachable"}, {}},
        {3,
         Report(1, Outcome::Rewritten),
         {"confirm 10.0.1.2 at 63", "outcome 10.0.1.2 Rewritten, confirm at 63",
          "round settled against 10.0.0.5: 0 correct, 1 rewritten, 1 failing"},
         {"INFO 2 clients checked against 10.0.0.5 after the address change: 0 correct, 1 "
          "rewritten, 1 failing"}},
        {4, Report(0, Outcome::Correct), {"outcome 10.0.1.1 Correct"}, {}},
        // A recheck drops the pending confirmation and connects quietly.
        {10,
         Start(RoundReason::Recheck),
         {"recheck started, next recheck at 3610", "reconnect 10.0.1.1 DEBUG",
          "reconnect 10.0.1.2 DEBUG"},
         {"INFO rechecking 2 clients against 10.0.0.5"}},
        // The round replaced by a newer one never settles.
        {11,
         Start(RoundReason::Recheck),
         {"recheck started, next recheck at 3611", "reconnect 10.0.1.1 DEBUG",
          "reconnect 10.0.1.2 DEBUG"},
         {"INFO rechecking 2 clients against 10.0.0.5"}},
        {12, Report(0, Outcome::Correct), {"outcome 10.0.1.1 Correct"}, {}},
        // With a new attempt queued the outcome is moot: noted, but neither counted nor
        // followed by a confirmation.
        {13,
         Then({AttemptQueued(1, true), Report(1, Outcome::Rewritten)}),
         {"outcome 10.0.1.2 Rewritten"},
         {}},
        {14,
         Then({AttemptQueued(1, false), Report(1, Outcome::Correct)}),
         {"outcome 10.0.1.2 Correct",
          "recheck settled against 10.0.0.5: 2 correct, 0 rewritten, 0 failing"},
         {"INFO 2 clients checked against 10.0.0.5 after the recheck: 2 correct, 0 rewritten, 0 "
          "failing"}},
        // Without clients a round settles at once, with nothing to tell.
        {20,
         Then({InRounds(0), Start(RoundReason::Recheck)}),
         {"recheck started, next recheck at 3620",
          "recheck settled against 10.0.0.5: 0 correct, 0 rewritten, 0 failing"},
         {"INFO rechecking 0 clients against 10.0.0.5"}},
    });
}

// Rechecks off here, so that no confirmation comes between the checks.
TEST_F(ClientRoundsTest, OneCheckPerConnectionAndVerificationInterval) {
    rounds.SetRecheckPeriod(std::chrono::seconds(0));
    roundClients = 1;
    const std::vector<std::string> rewrite = {kFound, kRewritten, "outcome 10.0.1.1 Rewritten"};
    const std::vector<std::string> rewriteLines = {kFoundLine, kSettingLine};
    Run({
        {0, Check(0), rewrite, rewriteLines},
        {59.999, Check(0), {}, {}},
        {60, Check(0), rewrite, rewriteLines},
        // A check on the ended connection must not stop the new one's.
        {61, Reconnected(0), rewrite, rewriteLines},
        {62, Check(0), {}, {}},
        // A recheck keeps the guard; a new address clears it.
        {63,
         Then({Start(RoundReason::Recheck), Check(0)}),
         {"recheck started", "reconnect 10.0.1.1 DEBUG"},
         {"INFO rechecking 1 client against 10.0.0.5"}},
        {64,
         Then({Start(RoundReason::AddressChange), Check(0)}),
         {"round started", "reconnect 10.0.1.1 INFO", kFound, kRewritten,
          "outcome 10.0.1.1 Rewritten",
          "round settled against 10.0.0.5: 0 correct, 1 rewritten, 0 failing"},
         {kFoundLine, kSettingLine,
          "INFO 1 client checked against 10.0.0.5 after the address change: 0 correct, 1 "
          "rewritten, 0 failing"}},
        // A failed check arms the guard too.
        {200,
         Then({Script(0, [](scripted_sdk::Connection& c) { c.targets.clear(); }), Check(0)}),
         {"outcome 10.0.1.1 NoTarget"},
         {"ERROR 10.0.1.1: no enabled archive targets found"}},
        {259.999, Check(0), {}, {}},
        // Without a period no recheck comes due.
        {99999, Due(), {}, {}},
    });
    EXPECT_EQ(scripted_sdk::Inspect(ConnectionOf(0)).updates.size(), 4u);
}

// The client undoes every rewrite until the path is made correct on its side.
TEST_F(ClientRoundsTest, RewriteIsConfirmedWithABackoffWhileItKeepsBeingUndone) {
    roundClients = 1;
    const auto undone = [](const std::string& due, const std::string& outcome) {
        return std::vector<std::string>{"reconnect 10.0.1.1 DEBUG", kFound, kRewritten,
                                        "confirm 10.0.1.1 at " + due,
                                        "outcome 10.0.1.1 " + outcome + ", confirm at " + due};
    };
    const Event confirmed = Then({Confirm(0), Reconnected(0)});
    Run({
        {0,
         Start(RoundReason::AddressChange),
         {"round started, next recheck at 3600", "reconnect 10.0.1.1 INFO"},
         {}},
        {1,
         Check(0),
         {kFound, kRewritten, "confirm 10.0.1.1 at 61", "outcome 10.0.1.1 Rewritten, confirm at 61",
          "round settled against 10.0.0.5: 0 correct, 1 rewritten, 0 failing"},
         {kFoundLine, kSettingLine,
          "INFO 1 client checked against 10.0.0.5 after the address change: 0 correct, 1 "
          "rewritten, 0 failing"}},
        {60.999, Confirm(0), {}, {}},
        {61, confirmed, undone("181", "Rewritten"), {kFoundLine, kSettingLine}},
        {181, confirmed, undone("421", "Rewritten"), {kFoundLine, kSettingLine}},
        // The third undone in a row warns once and counts as not applied from then on.
        {421,
         confirmed,
         undone("901", "NotApplied"),
         {kFoundLine, kSettingLine,
          "WARNING 10.0.1.1: update not applied after 3 attempts; retrying every 480 s"}},
        {901, confirmed, undone("1861", "NotApplied"), {kFoundLine, kSettingLine}},
        {1861, confirmed, undone("3781", "NotApplied"), {kFoundLine, kSettingLine}},
        // The wait stops growing at the recheck period.
        {3781, confirmed, undone("7381", "NotApplied"), {kFoundLine, kSettingLine}},
        // Found correct, quietly: nothing more to confirm, and the backoff starts over.
        {7381,
         Then({Path(0, "\\\\10.0.0.5\\a"), confirmed}),
         {"reconnect 10.0.1.1 DEBUG", "found 10.0.1.1 \\\\10.0.0.5\\a", "outcome 10.0.1.1 Correct",
          "close 10.0.1.1 DEBUG"},
         {"DEBUG 10.0.1.1: found archive target \\\\10.0.0.5\\a",
          "DEBUG archive target address is correct, not updating"}},
        {99999, Confirm(0), {}, {}},
        {100000,
         Then({Path(0, "\\\\nas\\a"), Reconnected(0)}),
         {kFound, kRewritten, "confirm 10.0.1.1 at 100060",
          "outcome 10.0.1.1 Rewritten, confirm at 100060"},
         {kFoundLine, kSettingLine}},
        // A new round drops the pending confirmation.
        {100001,
         Start(RoundReason::AddressChange),
         {"round started, next recheck at 103601", "reconnect 10.0.1.1 INFO"},
         {}},
        {100060, Confirm(0), {}, {}},
        // An update the client refused may still have been lost on the way: confirmed too.
        {100100,
         Then(
             {Script(0, [](scripted_sdk::Connection& c) { c.updateResult = -1; }), Reconnected(0)}),
         {kFound, "confirm 10.0.1.1 at 100160", "outcome 10.0.1.1 UpdateFailed, confirm at 100160",
          "round settled against 10.0.0.5: 0 correct, 0 rewritten, 1 failing"},
         {kFoundLine, kSettingLine, "ERROR 10.0.1.1: failed to update archive target",
          "INFO 1 client checked against 10.0.0.5 after the address change: 0 correct, 0 "
          "rewritten, 1 failing"}},
    });
}

TEST_F(ClientRoundsTest, RecheckIsDueFromThePeriodOrWhenAskedButNeverDuringARound) {
    roundClients = 1;
    Run({
        {0, Due(), {}, {}},
        {0,
         Start(RoundReason::AddressChange),
         {"round started, next recheck at 3600", "reconnect 10.0.1.1 INFO"},
         {}},
        {5, Due(true), {}, {}},
        {6, Due(true), {}, {}},
        {7,
         Report(0, Outcome::Correct),
         {"outcome 10.0.1.1 Correct",
          "round settled against 10.0.0.5: 1 correct, 0 rewritten, 0 failing"},
         {"INFO 1 client checked against 10.0.0.5 after the address change: 1 correct, 0 "
          "rewritten, 0 failing"}},
        // What was asked for during the round, once it has settled, and only once.
        {8, Due(), {"recheck due"}, {}},
        {9, Due(), {}, {}},
        {3599.999, Due(), {}, {}},
        {3600, Due(), {"recheck due"}, {}},
        {3600,
         Start(RoundReason::Recheck),
         {"recheck started, next recheck at 7200", "reconnect 10.0.1.1 DEBUG"},
         {"INFO rechecking 1 client against 10.0.0.5"}},
        {3601,
         Report(0, Outcome::Correct),
         {"outcome 10.0.1.1 Correct",
          "recheck settled against 10.0.0.5: 1 correct, 0 rewritten, 0 failing"},
         {"INFO 1 client checked against 10.0.0.5 after the recheck: 1 correct, 0 rewritten, 0 "
          "failing"}},
        // One waiting for the target's adapters covers what is asked or due meanwhile.
        {3602, Due(true, true), {}, {}},
        {3603, Due(), {}, {}},
        {7200, Due(false, true), {}, {}},
        {7200, Due(), {"recheck due"}, {}},
    });
}

}  // namespace

}  // namespace vaultline
