// The client rounds on their own, on the test's thread: a recording listener, a clock moved by
// hand, a target watch that has learned its address from a scripted adapter, and clients on
// scripted connections. Steps run as behaviour tables: events at times, and the listener calls
// and log lines each one leads to.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>

#include "connections/server_record.h"
#include "double/manual_clock.h"
#include "double/scripted_kxapi.h"
#include "sync/client_rounds.h"
#include "sync/target_watch.h"
#include "unit/outcome_word.h"
#include "unit/service_fixture.h"

namespace vaultline {

namespace unit_support {

using test_double::ManualClock;

class RoundsFixture : public ::testing::Test, ClientRoundsListener, TargetWatchListener {
protected:
    using Event = std::function<void(RoundsFixture&)>;

    struct Step {
        // Seconds since the start.
        double at;
        Event event;
        std::vector<std::string> calls;
        std::vector<std::string> lines;
    };

    static constexpr const char* kAddress = "10.0.0.5";
    static constexpr int kTarget = 1;  // the target's connection; clients follow from 2

    // `clientCount` clients at 10.0.1.N, whose one enabled archive target is \\nas\a; the
    // watch has learned kAddress unless told not to.
    explicit RoundsFixture(std::size_t clientCount = 2, bool learnAddress = true) {
        AssertWorkerThread();
        scripted_sdk::Reset();
        targetHandle = KXAPI_Init();
        for (std::size_t place = 0; place < clientCount; ++place) {
            auto record = std::make_unique<ServerRecord>();
            record->config.address = "10.0.1." + std::to_string(place + 1);
            record->config.port = 22609;
            record->place = place;
            record->handle = std::shared_ptr<void>(KXAPI_Init(), [](void*) {});
            clients.push_back(std::move(record));
            ScriptPath(place, "\\\\nas\\a");
        }
        if (learnAddress) {
            TargetAdapter(kAddress)(*this);
            Discovered()(*this);
            calls.clear();
        }
    }
    ~RoundsFixture() override { scripted_sdk::Reset(); }

    static int ConnectionOf(std::size_t client) { return kTarget + 1 + static_cast<int>(client); }
    static void ScriptPath(std::size_t client, const std::string& path) {
        scripted_sdk::Configure(ConnectionOf(client), [&](scripted_sdk::Connection& c) {
            c.targets.resize(1);
            c.targets[0].id = 7;
            c.targets[0].path = path;
        });
    }

    RoundClient View(std::size_t client) {
        ServerRecord& record = *clients[client];
        return RoundClient{record, record.config, record.handle.get(), record.check};
    }

    // Each row at its time, one after the other; a row's event may chain several.
    void Run(const std::vector<Step>& steps) {
        for (std::size_t row = 0; row < steps.size(); ++row) {
            SCOPED_TRACE("row " + std::to_string(row) + " at " + Time(steps[row].at));
            clock.now = clock.start + std::chrono::duration_cast<Clock::TimePoint::duration>(
                                          std::chrono::duration<double>(steps[row].at));
            calls.clear();
            const std::size_t mark = log.Lines().size();
            steps[row].event(*this);
            EXPECT_THAT(calls, ::testing::ElementsAreArray(steps[row].calls));
            EXPECT_THAT(log.LinesFrom(mark), ::testing::ElementsAreArray(steps[row].lines));
        }
    }

    // Events for the rows.
    static Event Start(RoundReason reason) {
        return [reason](RoundsFixture& f) {
            AssertWorkerThread();
            f.rounds.StartRound(reason);
        };
    }
    static Event Check(std::size_t client) {
        return [client](RoundsFixture& f) {
            AssertWorkerThread();
            f.rounds.VerifyClientTarget(f.View(client));
        };
    }
    static Event Report(std::size_t client, ClientOutcome outcome) {
        return [=](RoundsFixture& f) {
            AssertWorkerThread();
            f.rounds.ReportOutcome(f.View(client), outcome);
        };
    }
    static Event Confirm(std::size_t client) {
        return [client](RoundsFixture& f) {
            AssertWorkerThread();
            f.rounds.ConfirmIfDue(f.View(client), f.clock.now);
        };
    }
    static Event Ended(std::size_t client) {
        return [client](RoundsFixture& f) {
            AssertWorkerThread();
            f.clients[client]->check.ConnectionEnded();
        };
    }
    // A new connection: the last one ended, and the next is checked.
    static Event Reconnected(std::size_t client) { return Then({Ended(client), Check(client)}); }
    // The answer is recorded as a call "recheck due" when there is one.
    static Event Due(bool asked = false, bool recheckWanted = false) {
        return [=](RoundsFixture& f) {
            AssertWorkerThread();
            if (f.rounds.RecheckDue(f.clock.now, asked, recheckWanted)) {
                f.calls.push_back("recheck due");
            }
        };
    }
    static Event AttemptQueued(std::size_t client, bool queued) {
        return [=](RoundsFixture& f) {
            if (queued) {
                f.attemptPending.insert(client);
            } else {
                f.attemptPending.erase(client);
            }
        };
    }
    static Event Path(std::size_t client, const std::string& path) {
        return [=](RoundsFixture&) { ScriptPath(client, path); };
    }
    static Event Script(std::size_t client, std::function<void(scripted_sdk::Connection&)> change) {
        return [=](RoundsFixture&) { scripted_sdk::Configure(ConnectionOf(client), change); };
    }
    // The target reports one connected adapter at `ip`, or none connected for "".
    static Event TargetAdapter(const std::string& ip) {
        return [ip](RoundsFixture&) {
            scripted_sdk::Adapter adapter;
            adapter.ip = ip;
            adapter.connected = !ip.empty();
            scripted_sdk::Configure(kTarget,
                                    [&](scripted_sdk::Connection& c) { c.adapters = {adapter}; });
        };
    }
    static Event Discover(bool delayed) {
        return [delayed](RoundsFixture& f) {
            AssertWorkerThread();
            f.watch.QueueDiscovery(f.targetHandle, delayed);
        };
    }
    // Runs every discovery scheduled so far, in order, delayed or not.
    static Event RunDiscovery() {
        return [](RoundsFixture& f) {
            auto tasks = std::move(f.discoveryTasks);
            f.discoveryTasks.clear();
            for (const auto& task : tasks) {
                task();
            }
        };
    }
    static Event Discovered() { return Then({Discover(false), RunDiscovery()}); }
    static Event Recheck(bool targetIdle) {
        return [targetIdle](RoundsFixture& f) {
            AssertWorkerThread();
            f.watch.RequestRecheck(f.targetHandle, targetIdle);
        };
    }
    // The watch's address and whether a recheck waits, as a call.
    static Event Watched() {
        return [](RoundsFixture& f) {
            AssertWorkerThread();
            f.calls.push_back("holds " + f.watch.Address() +
                              (f.watch.RecheckWanted() ? ", recheck wanted" : ""));
        };
    }
    static Event InRounds(std::size_t clientCount) {
        return [clientCount](RoundsFixture& f) {
            AssertWorkerThread();
            f.roundClients = clientCount;
        };
    }
    static Event Then(std::vector<Event> events) {
        return [events = std::move(events)](RoundsFixture& f) {
            for (const Event& event : events) {
                event(f);
            }
        };
    }
    std::string Time(Clock::TimePoint at) const {
        return Time(std::chrono::duration<double>(at - clock.start).count());
    }
    static std::string Time(double seconds) {
        std::ostringstream text;
        text << seconds;
        return text.str();
    }

    LogCapture log;
    ManualClock clock;
    std::vector<std::unique_ptr<ServerRecord>> clients;
    // Clients past this many are left out of the rounds.
    std::size_t roundClients = ~std::size_t{0};
    std::set<std::size_t> attemptPending;
    std::vector<std::string> calls;
    void* targetHandle = nullptr;
    std::vector<std::function<void()>> discoveryTasks;
    TargetWatch watch{static_cast<TargetWatchListener&>(*this)};
    ClientRounds rounds{static_cast<ClientRoundsListener&>(*this), watch, clock,
                        std::chrono::seconds(60), std::chrono::seconds(60)};

private:
    std::size_t PlaceOf(const ServerRecord& record) const { return record.place; }
    std::string Name(const ServerRecord& record) const { return record.config.address; }

    std::vector<RoundClient> RoundClients() override {
        std::vector<RoundClient> view;
        for (std::size_t client = 0; client < clients.size() && client < roundClients; ++client) {
            view.push_back(View(client));
        }
        return view;
    }
    void ReconnectClient(ServerRecord& client, Severity severity) override {
        std::ostringstream call;
        call << "reconnect " << Name(client) << " " << severity;
        calls.push_back(call.str());
    }
    void CloseClient(ServerRecord& client, Severity severity) override {
        std::ostringstream call;
        call << "close " << Name(client) << " " << severity;
        calls.push_back(call.str());
    }
    bool AttemptPending(const ServerRecord& client) override {
        return attemptPending.count(PlaceOf(client)) > 0;
    }
    void OutcomeNoted(const ServerRecord& client, ClientOutcome outcome,
                      std::optional<Clock::TimePoint> confirmDue) override {
        calls.push_back("outcome " + Name(client) + " " + OutcomeWord(outcome) +
                        (confirmDue ? ", confirm at " + Time(*confirmDue) : ""));
    }
    void TargetFound(const ServerRecord& client, std::string_view path) override {
        calls.push_back("found " + Name(client) + " " + std::string(path));
    }
    void TargetRewritten(const ServerRecord& client, std::string_view path) override {
        calls.push_back("rewritten " + Name(client) + " " + std::string(path));
    }
    void ConfirmationScheduled(ServerRecord& client, Clock::TimePoint due) override {
        calls.push_back("confirm " + Name(client) + " at " + Time(due));
    }
    void RoundStarted(bool recheck, std::optional<Clock::TimePoint> nextRecheck) override {
        calls.push_back(std::string(recheck ? "recheck" : "round") + " started" +
                        (nextRecheck ? ", next recheck at " + Time(*nextRecheck) : ""));
    }
    void RoundSettled(const std::string& address, std::size_t correct, std::size_t rewritten,
                      std::size_t failing, bool recheck) override {
        std::ostringstream call;
        call << (recheck ? "recheck" : "round") << " settled against " << address << ": " << correct
             << " correct, " << rewritten << " rewritten, " << failing << " failing";
        calls.push_back(call.str());
    }

    void ScheduleDiscovery(const std::function<void()>& task, bool delayed) override {
        calls.push_back(delayed ? "discovery later" : "discovery now");
        discoveryTasks.push_back(task);
    }
    void AddressChanged(const std::string& previous, const std::string& address) override {
        calls.push_back("address " + (previous.empty() ? "learned" : previous + " ->") + " " +
                        address);
    }
    void CheckClients(RoundReason reason) override {
        calls.push_back(reason == RoundReason::Recheck ? "check clients: recheck"
                                                       : "check clients: address change");
    }
};

}  // namespace unit_support

}  // namespace vaultline
