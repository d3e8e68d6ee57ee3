// Log severities, the process-wide logger and the set-up of the asynchronous sink on stderr.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ostream>

#include <boost/log/sinks/async_frontend.hpp>
#include <boost/log/sinks/bounded_fifo_queue.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/sources/severity_logger.hpp>
#include <boost/shared_ptr.hpp>

#include "base/log_overflow.h"

namespace vaultline {

enum class Severity : uint32_t { DEBUG, INFO, WARNING, ERROR, FATAL };

// Writes the severity's name, or "INVALID" for a value outside the enumeration.
std::ostream& operator<<(std::ostream& stream, Severity severity);

// The syslog priority that journald reads from a "<N>" line prefix; -1 outside the enumeration.
int JournalPriority(Severity severity);

// Main, worker and status file writer threads all log through the same logger, so it
// is the kind Boost.Log documents as safe to share between threads.
using Logger = boost::log::sources::severity_logger_mt<Severity>;
// Records waiting for the feeding thread. A producer that finds the queue full waits up to
// kLogPatience for room, so a flood of lines costs time but neither memory nor lines while the
// reader of standard error keeps up; a reader that stops costs lines, never the job (LogOverflow).
constexpr std::size_t kLogQueueRecords = 4096;
constexpr std::chrono::milliseconds kLogPatience{100};
// How long the end of the program waits for queued lines to be written.
constexpr std::chrono::milliseconds kLogShutdownLimit{1000};
using LogSink = boost::log::sinks::asynchronous_sink<
    boost::log::sinks::text_ostream_backend,
    boost::log::sinks::bounded_fifo_queue<kLogQueueRecords, BoundedLogOverflow<kLogQueueRecords>>>;

// The WARNING that follows the last line written before `dropped` lines that found the queue full:
// the count, then this text.
constexpr const char* kDroppedLinesText = " log lines dropped; standard error was not read in time";

// Set by main while the service exists; every log statement outside main goes through it.
extern Logger* logger;

// Sets up the logging core once, before any log statement. Level 0 switches logging off, 1 passes
// INFO and above, 2 everything. A statement that finds the queue full waits up to `patience`.
// Returns the only outside handle to the sink, for the final flush.
boost::shared_ptr<LogSink> InitLogging(unsigned level, bool journal,
                                       std::chrono::milliseconds patience = kLogPatience);

// Removes the sink from the core and ends its feeding thread after writing every queued record,
// waiting at most `limit`. False when standard error took no more within it: the rest is dropped,
// and the feeding thread, stuck in a write that holds the standard error stream's lock, is left
// to end with the process, which must then end without flushing the standard streams (_Exit).
// Main thread, after the last log statement.
bool ShutdownLogging(const boost::shared_ptr<LogSink>& sink,
                     std::chrono::milliseconds limit = kLogShutdownLimit);

// Main thread, last: ShutdownLogging, here rather than in the exit handlers, where the feeding
// thread would still be running while static objects are torn down. Returns `status` for main to
// return; when standard error took no more lines in time, ends the process at once with `status`
// instead, since flushing the standard streams at exit would wait for ever.
int FinishLogging(const boost::shared_ptr<LogSink>& sink, int status);

}  // namespace vaultline
