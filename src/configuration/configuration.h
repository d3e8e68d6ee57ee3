// Reading "vaultline.conf": the archive target, the archive clients and their credentials.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include "on_change/settings.h"

namespace vaultline {

// The file the service reads from its working directory.
extern const char* const kConfigurationFile;

// One server as the configuration names it: the archive target or one archive client.
struct ServerConfig {
    std::string address;
    std::string username;
    std::string password;
    uint16_t port = 0;
    bool isTarget = false;
};

// Writes "<address>:<port>", the address as LogText writes it, as log lines name a server.
std::ostream& operator<<(std::ostream& stream, const ServerConfig& server);

// What the configuration says about the service itself, beside its servers.
struct ServiceSettings {
    // RecheckSeconds on <ArchiveClients>: 3600 when absent, negative or not a whole number; at most
    // ten years. Zero turns confirmations and periodic rechecks off.
    std::chrono::seconds recheckPeriod{3600};
    // <OnChange>, the first one under the root; none without it.
    std::optional<OnChangeSettings> onChange;
    // File on <Status>, the first one under the root: an absolute path for the status file; none
    // without it.
    std::optional<std::string> statusFile;
};

// Reads the configuration file at `path` and validates it, logging the first fault at FATAL and
// the archive target found at INFO; passwords are never logged. Hands each server to `accept` as
// soon as it has been read and checked: the target first, then each client in file order, so a
// fault further on in the file is found only after the servers before it were accepted. Stops at
// once when `accept` returns false. True when every server was accepted. Fills `settings`, when
// given, as the elements holding them are read.
bool ReadConfiguration(const char* path, const std::function<bool(const ServerConfig&)>& accept,
                       ServiceSettings* settings = nullptr);

}  // namespace vaultline
