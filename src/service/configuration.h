// Reading "vaultline.conf": the archive target, the archive clients and their credentials.
#pragma once

#include <functional>

#include "service/vaultline.h"

// The file the service reads from its working directory.
extern const char* const kConfigurationFile;

// Reads the configuration file at `path` and validates it, logging the first fault at FATAL and
// the archive target found at INFO; passwords are never logged. Hands each server's record to
// `accept` as soon as it has been read and checked: the target first, then each client in file
// order, so a fault further on in the file is found only after the records before it were
// accepted. Stops at once when `accept` returns false. True when every record was accepted.
bool ReadConfiguration(const char* path, const std::function<bool(Vaultline::Server&)>& accept);
