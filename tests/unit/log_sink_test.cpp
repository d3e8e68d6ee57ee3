// The asynchronous sink on stderr holds a bounded number of records: a producer faster than the
// reader waits for room instead of growing the queue, and every line still arrives in order; a
// reader that stops costs lines, counted in one warning, never the producer's time.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/logging.h"
#include "support/child_process.h"

namespace vaultline {

namespace {

// Points the process's stderr at the write end of a pipe while it exists.
class StderrPipe {
public:
    StderrPipe() {
        if (pipe2(fds_, O_CLOEXEC) != 0) {
            return;
        }
        saved_ = dup(STDERR_FILENO);
        dup2(fds_[1], STDERR_FILENO);
    }
    ~StderrPipe() {
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
        }
        for (const int fd : fds_) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    bool Ready() const { return saved_ >= 0; }
    // Reads what is there without waiting.
    std::string Drain() {
        std::string text;
        fcntl(fds_[0], F_SETFL, O_NONBLOCK);
        char buffer[65536];
        ssize_t got = 0;
        while ((got = read(fds_[0], buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }
    // Reads every 5 ms while `busy` holds, and once more after.
    std::string DrainWhile(const std::function<bool()>& busy) {
        std::string text;
        while (busy()) {
            text += Drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return text + Drain();
    }

private:
    int fds_[2] = {-1, -1};
    int saved_ = -1;
};

// Logs "line 0", "line 1", ... on a thread of its own.
class Flood {
public:
    explicit Flood(int lines)
        : thread_([this, lines] {
              Logger floodLogger;
              for (int line = 0; line < lines; ++line) {
                  BOOST_LOG_SEV(floodLogger, Severity::INFO) << "line " << line;
              }
              done_ = true;
          }) {}
    ~Flood() { thread_.join(); }
    bool Done() const { return done_; }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Ends logging while reading the pipe, since the final flush may wait for the reader. Returns
// ShutdownLogging's result.
bool ShutdownWhileDraining(const boost::shared_ptr<LogSink>& sink, StderrPipe& pipe,
                           std::string& written) {
    std::atomic<bool> done{false};
    bool flushed = false;
    std::thread shutdown([&] {
        flushed = ShutdownLogging(sink);
        done = true;
    });
    written += pipe.DrainWhile([&] { return !done; });
    shutdown.join();
    return flushed;
}

TEST(LogSink, FloodFasterThanTheReaderWaitsForRoomAndLosesNoLine) {
    constexpr int kLines = 20'000;
    StderrPipe stderrPipe;
    ASSERT_TRUE(stderrPipe.Ready());
    // Patient enough to wait out the reader's pause below, which is longer than the usual 100 ms.
    const auto sink = InitLogging(2, true, std::chrono::seconds(60));
    std::string written;
    {
        Flood flood(kLines);
        // Nothing reads the pipe yet: the producer must be held up by the full queue. An
        // unbounded queue would take all lines at once.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_FALSE(flood.Done());
        written = stderrPipe.DrainWhile([&] { return !flood.Done(); });
    }
    EXPECT_TRUE(ShutdownWhileDraining(sink, stderrPipe, written));

    std::string expected;
    for (int line = 0; line < kLines; ++line) {
        expected += "<6>line " + std::to_string(line) + "\n";
    }
    EXPECT_EQ(written.size(), expected.size());
    EXPECT_TRUE(written == expected);
}

// Nothing reads standard error while 20,000 lines are logged: the producer loses what does not
// fit and goes on. Once the reader is back, one warning right after the last line that got in
// counts the lines lost there, and later lines arrive again.
TEST(LogSink, StalledReaderCostsLinesCountedInOneWarningNotTheProducersTime) {
    constexpr int kLines = 20'000;
    StderrPipe stderrPipe;
    ASSERT_TRUE(stderrPipe.Ready());
    const auto sink = InitLogging(2, true);
    std::string written;
    {
        Flood flood(kLines);
        EXPECT_TRUE(
            testing_support::WaitUntil([&] { return flood.Done(); }, std::chrono::seconds(10)))
            << "the producer waited for the reader";
        written = stderrPipe.DrainWhile([&] { return !flood.Done(); });
    }
    // The reader is back: the queue empties up to the gap and the warning follows.
    testing_support::WaitUntil(
        [&] {
            written += stderrPipe.Drain();
            return written.find(" log lines dropped") != std::string::npos;
        },
        std::chrono::seconds(10));
    Logger lineLogger;
    BOOST_LOG_SEV(lineLogger, Severity::INFO) << "after";
    EXPECT_TRUE(ShutdownWhileDraining(sink, stderrPipe, written));

    std::istringstream lines(written);
    std::string line;
    int next = 0;
    while (std::getline(lines, line) && line == "<6>line " + std::to_string(next)) {
        ++next;
    }
    ASSERT_GT(next, 0);
    ASSERT_LT(next, kLines);
    EXPECT_EQ(line, "<4>" + std::to_string(kLines - next) +
                        " log lines dropped; standard error was not read in time");
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "<6>after");
    EXPECT_FALSE(std::getline(lines, line)) << line;
}

}  // namespace

}  // namespace vaultline
