// What the target watch and the client rounds ask of the service: connections opened and
// closed, work scheduled, and what the status line, the status file and the on-change command
// are told.
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
    const bool targetIdle = target && target->server.link.state == ConnState::LoggedIn &&
                            target->server.link.awaiting == Awaiting::Nothing;
    watch.RequestRecheck(target ? target->server.handle.get() : nullptr, targetIdle);
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
    const auto& installed = InstalledClients();
    std::vector<RoundClient> view;
    view.reserve(installed.size());
    for (const auto& client : installed) {
        view.push_back(RoundView(client->server));
    }
    return view;
}

void Vaultline::ReconnectClient(ServerRecord& client, Severity severity) {
    QueueReconnect(client, false, severity);
}

void Vaultline::CloseClient(ServerRecord& client, Severity severity) {
    QueueClose(client, severity);
}

bool Vaultline::AttemptPending(const ServerRecord& client) {
    return client.link.attempt.Pending();
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
