// What vaultline-check found: the target's adapters and address, an outcome per client, and the
// exit status they add up to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "outcome/client_outcome.h"
#include "sync/adapter_choice.h"
#include "sync/sdk_records.h"

namespace vaultline {

// How an attempt to reach one server ended. One that got nowhere fails as the service records it:
// Unreachable when the open failed or the connection was lost before the data came, LoginRefused
// when the login was not accepted, Stalled when no data came within the time allowed. Only the
// dry run is ever stopped before its attempts end.
struct Reach {
    enum class End { DataRead, Failed, Interrupted };
    End end = End::Failed;
    ClientOutcome failure = ClientOutcome::Unreachable;  // End::Failed only

    static Reach DataRead() { return {End::DataRead, ClientOutcome::Unreachable}; }
    static Reach Failed(ClientOutcome outcome) { return {End::Failed, outcome}; }
    static Reach Interrupted() { return {End::Interrupted, ClientOutcome::Unreachable}; }

    bool Read() const { return end == End::DataRead; }
};

struct TargetFinding {
    std::string address;  // as configured
    uint16_t port = 0;
    Reach reach;
    TargetProblem problem = TargetProblem::None;
    // Every adapter read, in index order, the ones the choice never asks about too.
    std::vector<AdapterRecord> adapters;
    std::optional<uint64_t> chosen;  // index into the target's adapters
    // The address the service would write into the clients' paths; empty when there is none.
    std::string archiveAddress;

    // True when the clients can be compared with `archiveAddress`.
    bool Usable() const { return reach.Read() && problem == TargetProblem::None; }
};

// What the service would record for one client's enabled archive target. Rewritten means it
// would be rewritten: the dry run never writes.
struct ClientFinding {
    std::string address;  // as configured
    uint16_t port = 0;
    // Correct, Rewritten, BadFormat or NoTarget when the client's data was read, else how its
    // connection failed.
    ClientOutcome outcome = ClientOutcome::Unreachable;
    // A stop signal came before the client was checked; `outcome` then says nothing.
    bool interrupted = false;
    std::string path;     // the enabled target's path, as the client sent it
    std::string newPath;  // Rewritten only
    // More than one target is enabled; the outcome is about the first, as the service uses it.
    bool severalEnabled = false;

    // True when the client was checked and `outcome` is `expected`.
    bool Is(ClientOutcome expected) const { return !interrupted && outcome == expected; }
};

struct Findings {
    TargetFinding target;
    std::vector<ClientFinding> clients;
};

// The process's exit status: 1 when anything could not be checked, else 2 when at least one
// client would be rewritten, else 0.
int ExitStatus(const Findings& findings);

// Sets how `client`'s check ended when its connection ended without its data being read.
void RecordReach(const Reach& reach, ClientFinding& client);

}  // namespace vaultline
