// Log severities, the process-wide logger and the set-up of the asynchronous sink on stderr.
#include "app/logging.h"

#include <iomanip>
#include <iostream>

#include <boost/core/null_deleter.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/log/attributes/clock.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/support/date_time.hpp>
#include <boost/make_shared.hpp>

namespace expr = boost::log::expressions;

Logger* logger = nullptr;

namespace {

constexpr const char* kSeverityNames[] = {"DEBUG", "INFO", "WARNING", "ERROR", "FATAL"};
constexpr int kJournalPriorities[] = {7, 6, 4, 3, 2};
constexpr uint32_t kSeverityCount = sizeof(kSeverityNames) / sizeof(kSeverityNames[0]);

BOOST_LOG_ATTRIBUTE_KEYWORD(timestampAttribute, "Timestamp", boost::posix_time::ptime)
BOOST_LOG_ATTRIBUTE_KEYWORD(severityAttribute, "Severity", Severity)

}  // namespace

std::ostream& operator<<(std::ostream& stream, Severity severity) {
    const auto value = static_cast<uint32_t>(severity);
    return stream << (value < kSeverityCount ? kSeverityNames[value] : "INVALID");
}

int JournalPriority(Severity severity) {
    const auto value = static_cast<uint32_t>(severity);
    return value < kSeverityCount ? kJournalPriorities[value] : -1;
}

boost::shared_ptr<LogSink> InitLogging(unsigned level, bool journal) {
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
        sink->set_filter(severityAttribute >= INFO);
    }
    if (journal) {
        sink->set_formatter(
            [](const boost::log::record_view& record, boost::log::formatting_ostream& stream) {
                const auto severity = record[severityAttribute];
                stream << "<" << (severity ? JournalPriority(*severity) : -1) << ">"
                       << record[expr::smessage];
            });
    } else {
        sink->set_formatter(expr::stream << expr::format_date_time(timestampAttribute, "%H:%M:%S")
                                         << " " << std::left << std::setw(8) << severityAttribute
                                         << expr::smessage);
    }
    core->add_sink(sink);
    return sink;
}

void ShutdownLogging(const boost::shared_ptr<LogSink>& sink) {
    boost::log::core::get()->remove_sink(sink);
    sink->flush();
    sink->stop();
}
