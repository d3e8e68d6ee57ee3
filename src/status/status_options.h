// vaultline-status's command line: which file, and which of its views.
#pragma once

#include <cstdint>
#include <string>

#include <boost/program_options.hpp>

namespace vaultline {

enum class StatusView { Table, Json, Prometheus, Check };

struct StatusOptions {
    bool help = false;
    std::string instance;  // of vaultline@.service; empty for vaultline.service
    std::string file;      // the status file to read
    bool all = false;
    StatusView view = StatusView::Table;
    int64_t warningAge = 300;
    int64_t criticalAge = 3600;
};

// Where each unit's status file is.
extern const char* const kRuntimeRoot;

// The options in the order the usage text lists them.
boost::program_options::options_description BuildStatusOptions();

// Parses the arguments after the program name: at most one INSTANCE, a name without '/'. Throws
// the option library's errors, also for two views at once, an instance with --file, and ages
// that are not positive or a warning age above the critical one.
StatusOptions ParseStatusCommandLine(const boost::program_options::options_description& options,
                                     int argc, const char* const* argv);

// True when the arguments ask for --check, so that a command line error is reported with the
// check's exit status.
bool AsksForCheck(int argc, const char* const* argv);

}  // namespace vaultline
