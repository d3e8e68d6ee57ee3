// Checking a client's enabled archive target against the target address and rewriting its host.
#include "base/log_text.h"
#include "base/logging.h"
#include "service/vaultline.h"
#include "sync/address_rules.h"
#include "sync/string_field_buffer.h"

namespace {

constexpr auto kVerifyInterval = std::chrono::seconds(60);
// Further enabled targets named one line each in a check; the rest are counted in one line, so a
// client with thousands of them cannot flood the log.
constexpr uint64_t kMaxExtraTargetWarnings = 10;

TargetInfo EmptyTargetQuery() {
    TargetInfo info{};
    info.size = sizeof(TargetInfo);
    info.extension.size = sizeof(TargetInfoExtension);
    return info;
}

}  // namespace

void Vaultline::VerifyClientTarget(Server& server) {
    const auto now = std::chrono::steady_clock::now();
    if (server.verifyStarted && now < server.verifyDeadline) {
        return;
    }
    server.verifyStarted = true;
    server.verifyDeadline = now + kVerifyInterval;

    void* const handle = server.handle.get();
    const uint64_t targetCount = KXAPI_GetNumTargets(handle);
    if (targetCount == 0) {
        BOOST_LOG_SEV(*logger, ERROR)
            << LogText(server.config.address) << ": no enabled archive targets found";
        ReportOutcome(server, ClientOutcome::NoTarget);
        return;
    }

    // `query` outlives every buffer aimed at its path, the chosen one included.
    TargetInfo query{};
    TargetInfo chosen{};
    StringFieldBuffer chosenPath;
    int chosenId = -1;
    uint64_t extraEnabled = 0;
    for (uint64_t index = 0; index < targetCount; ++index) {
        const int id = KXAPI_GetTargetId(handle, index);
        query = EmptyTargetQuery();
        if (KXAPI_GetTargetInfo(handle, id, &query) < 0) {
            BOOST_LOG_SEV(*logger, ERROR)
                << LogText(server.config.address) << ": failed to get target info (index " << index
                << ", id " << id << ")";
            continue;
        }
        if (query.enabled == 0) {
            continue;
        }
        StringFieldBuffer path{{query.pathLength, &query.path}};
        if (!path.Allocated() || KXAPI_GetTargetInfo(handle, id, &query) < 0) {
            BOOST_LOG_SEV(*logger, ERROR)
                << LogText(server.config.address) << ": failed to populate target info (index "
                << index << ", id " << id << ")";
            continue;
        }
        if (chosenId >= 0) {
            if (++extraEnabled <= kMaxExtraTargetWarnings) {
                BOOST_LOG_SEV(*logger, WARNING)
                    << LogText(server.config.address)
                    << ": multiple enabled archive targets found, using first";
            }
            continue;
        }
        chosen = query;
        chosenPath = std::move(path);
        chosenId = id;
    }
    if (extraEnabled > kMaxExtraTargetWarnings) {
        BOOST_LOG_SEV(*logger, WARNING)
            << LogText(server.config.address)
            << ": multiple enabled archive targets found, using first; "
            << extraEnabled - kMaxExtraTargetWarnings << " more not listed";
    }
    if (chosenId < 0) {
        BOOST_LOG_SEV(*logger, ERROR)
            << LogText(server.config.address) << ": no enabled archive targets found";
        ReportOutcome(server, ClientOutcome::NoTarget);
        return;
    }

    const char* const path = chosenPath.Text(0);
    PathCheck check = CheckTargetPath(path, targetAddress);
    // A recheck that finds a client correct is routine; a rewrite or a failure never is.
    const Severity found = server.quietCheck && check.action == PathAction::Correct ? DEBUG : INFO;
    BOOST_LOG_SEV(*logger, found) << LogText(server.config.address) << ": found archive target "
                                  << LogText(path);
    switch (check.action) {
        case PathAction::NoLeadingBackslashes:
            BOOST_LOG_SEV(*logger, ERROR) << LogText(server.config.address)
                                          << ": bad archive target format, expected \\\\<host>\\";
            ReportOutcome(server, ClientOutcome::BadFormat);
            return;
        case PathAction::Correct:
            BOOST_LOG_SEV(*logger, found) << "archive target address is correct, not updating";
            ReportOutcome(server, ClientOutcome::Correct);
            QueueClose(server);
            return;
        case PathAction::NoBackslashAfterHost:
            BOOST_LOG_SEV(*logger, ERROR) << LogText(server.config.address)
                                          << ": bad archive target format, expected \\ after host";
            ReportOutcome(server, ClientOutcome::BadFormat);
            return;
        case PathAction::Rewrite:
            break;
    }

    std::string newPath = std::move(check.newPath);
    BOOST_LOG_SEV(*logger, INFO) << LogText(server.config.address)
                                 << ": setting archive target address to " << LogText(newPath);
    chosen.path = newPath.data();
    // An SDK that reads the path by its length must see the new path's, NUL included.
    chosen.pathLength = newPath.size() + 1;
    if (KXAPI_UpdateTargetEx(handle, chosenId, nullptr, nullptr, &chosen) < 0) {
        BOOST_LOG_SEV(*logger, ERROR)
            << LogText(server.config.address) << ": failed to update archive target";
        ReportOutcome(server, ClientOutcome::UpdateFailed);
        return;
    }
    ReportOutcome(server, ClientOutcome::Rewritten);
}
