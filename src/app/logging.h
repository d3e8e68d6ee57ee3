// Log severities, the process-wide logger and the set-up of the asynchronous sink on stderr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>

#include <boost/log/sinks/async_frontend.hpp>
#include <boost/log/sinks/block_on_overflow.hpp>
#include <boost/log/sinks/bounded_fifo_queue.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/sources/severity_logger.hpp>
#include <boost/shared_ptr.hpp>

enum Severity : uint32_t { DEBUG, INFO, WARNING, ERROR, FATAL };

// Writes the severity's name, or "INVALID" for a value outside the enumeration.
std::ostream& operator<<(std::ostream& stream, Severity severity);

// The syslog priority that journald reads from a "<N>" line prefix; -1 outside the enumeration.
int JournalPriority(Severity severity);

// Main and worker thread log through the same logger; opening a record only reads it, so the
// lock-free kind serves.
using Logger = boost::log::sources::severity_logger<Severity>;
// Records waiting for the feeding thread. A producer that finds the queue full waits for room,
// so a flood of lines costs time but neither memory nor lines.
constexpr std::size_t kLogQueueRecords = 4096;
using LogSink = boost::log::sinks::asynchronous_sink<
    boost::log::sinks::text_ostream_backend,
    boost::log::sinks::bounded_fifo_queue<kLogQueueRecords, boost::log::sinks::block_on_overflow>>;

// Set by main while the service exists; every log statement outside main goes through it.
extern Logger* logger;

// Sets up the logging core once, before any log statement. Level 0 switches logging off, 1 passes
// INFO and above, 2 everything. Returns the only outside handle to the sink, for the final flush.
boost::shared_ptr<LogSink> InitLogging(unsigned level, bool journal);

// Removes the sink from the core and ends its feeding thread after writing every queued record.
void ShutdownLogging(const boost::shared_ptr<LogSink>& sink);
