// The status file's contents as plain data, and their one JSON form, written by the service and
// read back, validated, by vaultline-status.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vaultline {

// The format this build writes, and the newest it reads.
constexpr int kStatusFormat = 1;

// Times are seconds since the epoch (UTC); none where a time is not known.
using StatusTime = std::optional<int64_t>;

// The outcomes a client entry may show, as the file spells them.
extern const char* const kOutcomeCorrect;
extern const char* const kOutcomeRewritten;
extern const char* const kOutcomeAwaitingConfirmation;
extern const char* const kOutcomeNotChecked;
// Every outcome, in the order tables and metrics list them; the rest are failures.
const std::vector<std::string>& StatusOutcomes();
// Correct, rewritten or awaiting confirmation: on the current address as far as is known.
bool IsSettledOutcome(const std::string& outcome);

// The connection states of the target, as the file spells them.
extern const char* const kConnectionLoggedIn;
const std::vector<std::string>& ConnectionStates();

struct StatusClient {
    std::string address;  // escaped as log lines escape it
    int64_t port = 0;
    std::string outcome;
    StatusTime since;         // when the client last came to be on, or off, the current address
    StatusTime checked;       // when the last outcome was reached
    std::string foundHost;    // the host its path named at the last check; escaped
    std::string writtenHost;  // the host written by its last rewrite; escaped
    StatusTime writtenAt;
    int64_t consecutiveFailures = 0;
    std::string lastFailure;
    StatusTime nextDue;  // the next attempt or confirmation
};

struct StatusAddress {
    std::string address;
    int64_t learned = 0;
};

struct StatusDocument {
    int format = kStatusFormat;
    int64_t pid = 0;
    int64_t started = 0;
    int64_t updated = 0;
    std::string state = "running";  // or "stopped", written once at a clean stop
    std::string targetServer;       // "<address>:<port>", escaped
    std::string connection;
    StatusTime connectionSince;
    std::string currentAddress;  // empty until learned
    StatusTime addressSince;
    std::vector<StatusAddress> history;  // oldest first, at most kAddressHistory
    bool rechecksOn = true;
    StatusTime nextRecheck;
    StatusTime lastSettled;
    // Counters since the start, by name; failures and on-change runs by kind.
    std::map<std::string, int64_t> counters;
    std::map<std::string, int64_t> failures;
    std::map<std::string, int64_t> onChangeRuns;
    std::vector<StatusClient> clients;
};

constexpr std::size_t kAddressHistory = 16;

// The document as one line of JSON. Bytes that are not UTF-8 become U+FFFD.
std::string StatusJson(const StatusDocument& document);

// The document in `text`, or why it is not one: not JSON or cut short, not a Vaultline status
// file, a newer format than this build reads, or a field missing or of the wrong type.
std::variant<StatusDocument, std::string> ParseStatusJson(const std::string& text);

}  // namespace vaultline
