// What vaultline-check found: the target's adapters and address, a verdict per client, and the
// exit status they add up to.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vaultline {

// How an attempt to reach one server ended.
enum class Reach {
    DataRead,      // logged in and the server's data was read
    Unreachable,   // the open failed, or the connection was lost before the data came
    LoginRefused,  // the login event carried a nonzero result
    TimedOut,      // no data within the time allowed
    Interrupted,   // a stop signal came first
};

// One adapter as the target reported it. The texts are as the server sent them.
struct AdapterFinding {
    uint64_t index = 0;
    bool queryFailed = false;  // the adapter could not be read at all
    bool textsFailed = false;  // its flags were read but its texts could not be
    std::string name;
    std::string description;
    std::string ip;
    std::string mac;
    bool connected = false;
    bool dhcp = false;
};

// Why the target gave no address the service would use.
enum class TargetProblem {
    None,
    NoNetworkInfo,       // the adapter report could not be read
    NoConnectedAdapter,  // no adapter is connected, or none could be read
    ChosenTextsFailed,   // the chosen adapter's texts could not be read
    NoAddress,           // the chosen adapter has no address ("0.0.0.0" or empty)
    NotIPv4,             // the chosen adapter's address is not a dotted-quad IPv4 address
};

struct TargetFinding {
    std::string address;  // as configured
    uint16_t port = 0;
    Reach reach = Reach::Unreachable;
    TargetProblem problem = TargetProblem::None;
    std::vector<AdapterFinding> adapters;
    std::optional<uint64_t> chosen;  // index into the target's adapters
    // The address the service would write into the clients' paths; empty when there is none.
    std::string archiveAddress;

    // True when the clients can be compared with `archiveAddress`.
    bool Usable() const { return reach == Reach::DataRead && problem == TargetProblem::None; }
};

// What the service would do with one client's enabled archive target.
enum class Verdict {
    Correct,
    WouldRewrite,
    BadFormat,
    NoEnabledTarget,
    LoginRefused,
    Unreachable,
    TimedOut,
    Interrupted,
};

struct ClientFinding {
    std::string address;  // as configured
    uint16_t port = 0;
    Verdict verdict = Verdict::Unreachable;
    std::string path;     // the enabled target's path, as the client sent it
    std::string newPath;  // WouldRewrite only
    // More than one target is enabled; the verdict is about the first, as the service uses it.
    bool severalEnabled = false;
};

struct Findings {
    TargetFinding target;
    std::vector<ClientFinding> clients;
};

// The process's exit status: 1 when anything could not be checked, else 2 when at least one
// client would be rewritten, else 0.
int ExitStatus(const Findings& findings);

// The verdict for a client whose connection ended without its data being read.
Verdict VerdictFor(Reach reach);

}  // namespace vaultline
