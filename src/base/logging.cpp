// Log severities, the process-wide logger and the set-up of the asynchronous sink on stderr.
#include "base/logging.h"

#include <cstdlib>
#include <future>
#include <iomanip>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include <boost/core/null_deleter.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/log/attributes/clock.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/support/date_time.hpp>
#include <boost/make_shared.hpp>

namespace vaultline {

namespace expr = boost::log::expressions;

Logger* logger = nullptr;

namespace {

constexpr const char* kSeverityNames[] = {"DEBUG", "INFO", "WARNING", "ERROR", "FATAL"};
constexpr int kJournalPriorities[] = {7, 6, 4, 3, 2};
constexpr uint32_t kSeverityCount = sizeof(kSeverityNames) / sizeof(kSeverityNames[0]);

BOOST_LOG_ATTRIBUTE_KEYWORD(timestampAttribute, "Timestamp", boost::posix_time::ptime)
BOOST_LOG_ATTRIBUTE_KEYWORD(severityAttribute, "Severity", Severity)

// The start of a line that no record carries, in the layout of the sink's records, with the
// time it is written.
std::string LinePrefix(bool journal, Severity severity) {
    std::ostringstream prefix;
    if (journal) {
        prefix << "<" << JournalPriority(severity) << ">";
    } else {
        const auto now = boost::posix_time::second_clock::local_time().time_of_day();
        prefix << std::setfill('0') << std::setw(2) << now.hours() << ":" << std::setw(2)
               << now.minutes() << ":" << std::setw(2) << now.seconds() << " " << std::left
               << std::setfill(' ') << std::setw(8) << severity;
    }
    return prefix.str();
}

}  // namespace

std::ostream& operator<<(std::ostream& stream, Severity severity) {
    const auto value = static_cast<uint32_t>(severity);
    return stream << (value < kSeverityCount ? kSeverityNames[value] : "INVALID");
}

int JournalPriority(Severity severity) {
    const auto value = static_cast<uint32_t>(severity);
    return value < kSeverityCount ? kJournalPriorities[value] : -1;
}

boost::shared_ptr<LogSink> InitLogging(unsigned level, bool journal,
                                       std::chrono::milliseconds patience) {
    LogOverflow::SetPatience(patience);
    auto core = boost::log::core::get();
    core->add_global_attribute("Timestamp", boost::log::attributes::local_clock());

    auto sink = boost::make_shared<LogSink>();
    if (level == 0) {
        core->set_logging_enabled(false);
        return sink;
    }

    {
        auto backend = sink->locked_backend();
        backend->add_stream(boost::shared_ptr<std::ostream>(&std::clog, boost::null_deleter()));
        backend->auto_flush(true);
    }
    if (level == 1) {
        sink->set_filter(severityAttribute >= Severity::INFO);
    }
    boost::log::formatter layout;
    if (journal) {
        layout = [](const boost::log::record_view& record, boost::log::formatting_ostream& stream) {
            const auto severity = record[severityAttribute];
            stream << "<" << (severity ? JournalPriority(*severity) : -1) << ">"
                   << record[expr::smessage];
        };
    } else {
        layout = expr::stream << expr::format_date_time(timestampAttribute, "%H:%M:%S") << " "
                              << std::left << std::setw(8) << severityAttribute << expr::smessage;
    }
    sink->set_formatter([layout, journal](const boost::log::record_view& record,
                                          boost::log::formatting_ostream& stream) {
        layout(record, stream);
        if (const uint64_t dropped = TakeDroppedAfterCurrentRecord()) {
            stream << "\n"
                   << LinePrefix(journal, Severity::WARNING) << dropped << kDroppedLinesText;
        }
    });
    core->add_sink(sink);
    return sink;
}

bool ShutdownLogging(const boost::shared_ptr<LogSink>& sink, std::chrono::milliseconds limit) {
    boost::log::core::get()->remove_sink(sink);
    // The finisher keeps the sink alive: if it never finishes, the sink is never destroyed,
    // which would wait for the stuck feeding thread.
    auto finished = std::make_shared<std::promise<void>>();
    std::future<void> done = finished->get_future();
    const auto finish = [sink, finished] {
        sink->flush();
        sink->stop();
        finished->set_value();
    };
    std::thread finisher;
    try {
        finisher = std::thread(finish);
    } catch (const std::system_error&) {
        finish();  // no thread to be had: finish here, as a reader of standard error allows
        return true;
    }
    if (done.wait_for(limit) == std::future_status::ready) {
        finisher.join();
        return true;
    }
    finisher.detach();
    return false;
}

int FinishLogging(const boost::shared_ptr<LogSink>& sink, int status) {
    if (!ShutdownLogging(sink)) {
        std::_Exit(status);
    }
    return status;
}

}  // namespace vaultline
