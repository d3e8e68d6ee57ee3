// vaultline-status: what the running service knows of every client, read from its status file;
// it connects to nothing.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <iostream>

#include "base/command_line.h"
#include "status/status_options.h"
#include "status/status_views.h"

namespace vaultline {
namespace {

// Whether the process that wrote the file still runs; one this user may not signal does.
bool ProcessAlive(int64_t pid) {
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// The unit whose file is read, so that several instances' metrics stay apart in one collector
// folder; none for a file given by path.
std::string ServiceLabel(const StatusOptions& parsed) {
    if (!parsed.instance.empty()) {
        return "vaultline@" + parsed.instance;
    }
    return parsed.file == std::string(kRuntimeRoot) + "/status.json" ? "vaultline" : "";
}

int Main(int argc, char** argv) {
    const auto options = BuildStatusOptions();
    StatusOptions parsed;
    const auto parse = [&] { return ParseStatusCommandLine(options, argc, argv); };
    if (const auto status = AnswerCommandLine(options, parse, std::cerr, parsed)) {
        // A monitoring system reads a command line fault as UNKNOWN too.
        return *status != 0 && AsksForCheck(argc, argv) ? kCheckUnknown : *status;
    }

    const auto read = ReadStatusFile(parsed.file);
    const int64_t now = std::time(nullptr);
    const std::string* const fault = std::get_if<std::string>(&read);
    if (parsed.view == StatusView::Check) {
        const CheckResult result =
            fault != nullptr
                ? CheckUnusable(*fault)
                : CheckStatusDocument(std::get<StatusDocument>(read), now,
                                      ProcessAlive(std::get<StatusDocument>(read).pid),
                                      CheckAges{parsed.warningAge, parsed.criticalAge});
        std::cout << result.line << "\n";
        return result.status;
    }
    if (fault != nullptr) {
        std::cerr << "vaultline-status: " << *fault << "\n";
        return 1;
    }
    const StatusDocument& document = std::get<StatusDocument>(read);
    switch (parsed.view) {
        case StatusView::Json:
            std::cout << StatusJson(document);
            break;
        case StatusView::Prometheus:
            PrintPrometheus(document, ServiceLabel(parsed), std::cout);
            break;
        case StatusView::Table:
        case StatusView::Check: {
            const char* const noColour = std::getenv("NO_COLOR");
            const bool colour =
                isatty(STDOUT_FILENO) != 0 && (noColour == nullptr || noColour[0] == '\0');
            PrintStatusTable(document, now, parsed.all, colour, std::cout);
            break;
        }
    }
    std::cout.flush();
    return std::cout ? 0 : 1;
}

}  // namespace
}  // namespace vaultline

int main(int argc, char** argv) {
    return vaultline::Main(argc, argv);
}
