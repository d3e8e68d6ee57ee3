// What the connection pool, the target watch and the client rounds tell the service and ask of
// it: data and close requests passed on, connections opened and closed, work scheduled, and
// what the status line, the status file and the on-change command are told.
#include "service/vaultline.h"

namespace vaultline {

RoundClient Vaultline::RoundView(Server& server) {
    return RoundClient{server, server.config, server.handle.get(), server.check};
}

void Vaultline::ReportOutcome(Server& server, ClientOutcome outcome) {
    if (server.config.isTarget) {
        return;
    }
    rounds.ReportOutcome(RoundView(server), outcome);
}

void Vaultline::RequestRecheck() {
    watch.RequestRecheck(pool.TargetHandle(), pool.TargetIdle());
}

void Vaultline::ScheduleConnectionTask(const std::function<void()>& task, bool delayed) {
    Schedule(task, delayed);
}

bool Vaultline::QuietLogin(const ServerRecord& server) {
    return server.check.QuietLogin();
}

void Vaultline::DataReady(ServerRecord& server) {
    if (server.config.isTarget) {
        // Discovery makes SDK calls of its own, so it runs after this callback returns.
        watch.QueueDiscovery(server.handle.get(), false);
    } else {
        // A client's check reaches its outcome inside this call.
        rounds.VerifyClientTarget(RoundView(server));
    }
}

void Vaultline::CloseRequested(ServerRecord& server) {
    if (server.config.isTarget) {
        return;
    }
    // Closing inside the SDK's own call would pull the connection from under it.
    pool.QueueClose(server);
    // A client that ends the connection before its check is tried again.
    if (server.check.CheckOwed()) {
        ReportOutcome(server, ClientOutcome::Stalled);
        pool.QueueReconnect(server, true);
    }
}

void Vaultline::ConnectionFailed(ServerRecord& server, ClientOutcome outcome) {
    ReportOutcome(server, outcome);
}

void Vaultline::ConnectionEnded(ServerRecord& server) {
    server.check.ConnectionEnded();
}

void Vaultline::ScheduleDiscovery(const std::function<void()>& task, bool delayed) {
    Schedule(task, delayed);
}

void Vaultline::AddressChanged(const std::string& previous, const std::string& address) {
    onChange.Notify(AddressMoment(previous, address));
    status.TargetAddressChanged(address, clock.Calendar());
    statusFile.AddressChanged(address, clock.Now());
}

void Vaultline::CheckClients(RoundReason reason) {
    rounds.StartRound(reason);
}

std::vector<RoundClient> Vaultline::RoundClients() {
    const auto& installed = pool.InstalledClients();
    std::vector<RoundClient> view;
    view.reserve(installed.size());
    for (const auto& client : installed) {
        view.push_back(RoundView(client->server));
    }
    return view;
}

void Vaultline::ReconnectClient(ServerRecord& client, Severity severity) {
    pool.QueueReconnect(client, false, severity);
}

void Vaultline::CloseClient(ServerRecord& client, Severity severity) {
    pool.QueueClose(client, severity);
}

bool Vaultline::AttemptPending(const ServerRecord& client) {
    return client.link.AttemptPending();
}

void Vaultline::OutcomeNoted(const ServerRecord& client, ClientOutcome outcome,
                             std::optional<Clock::TimePoint> confirmDue) {
    status.RecordOutcome(&client, outcome);
    statusFile.RecordOutcome(&client, outcome, clock.Now(), confirmDue);
}

void Vaultline::TargetFound(const ServerRecord& client, std::string_view path) {
    statusFile.RecordFound(&client, path);
}

void Vaultline::TargetRewritten(const ServerRecord& client, std::string_view path) {
    statusFile.RecordRewrite(&client, path, clock.Now());
}

void Vaultline::ConfirmationScheduled(ServerRecord& client, Clock::TimePoint due) {
    confirmationsDue.Watch(client, due);
}

void Vaultline::RoundStarted(bool recheck, std::optional<Clock::TimePoint> nextRecheck) {
    status.RecheckScheduled(nextRecheck);
    statusFile.RoundStarted(recheck, nextRecheck);
}

void Vaultline::RoundSettled(const std::string& address, std::size_t correct, std::size_t rewritten,
                             std::size_t failing, bool recheck) {
    statusFile.RoundSettled(clock.Now());
    onChange.Notify(SettledMoment(address, correct, rewritten, failing, recheck));
}

}  // namespace vaultline
