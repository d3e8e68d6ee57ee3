// The asynchronous sink on stderr holds a bounded number of records: a producer faster than the
// reader waits for room instead of growing the queue, and every line still arrives in order; a
// reader that stops costs lines, counted in one warning, never the producer's time.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "app/logging.h"
#include "support/child_process.h"

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

private:
    int fds_[2] = {-1, -1};
    int saved_ = -1;
};

TEST(LogSink, FloodFasterThanTheReaderWaitsForRoomAndLosesNoLine) {
    constexpr int kLines = 20'000;
    StderrPipe stderrPipe;
    ASSERT_TRUE(stderrPipe.Ready());
    // Patient enough to wait out the reader's pause below, which is longer than the usual 100 ms.
    const auto sink = InitLogging(2, true, std::chrono::seconds(60));
    std::atomic<bool> producerDone{false};
    std::thread producer([&] {
        Logger floodLogger;
        for (int line = 0; line < kLines; ++line) {
            BOOST_LOG_SEV(floodLogger, INFO) << "line " << line;
        }
        producerDone = true;
    });

    // Nothing reads the pipe yet: the producer must be held up by the full queue. An unbounded
    // queue would take all lines at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const bool heldUp = !producerDone;

    std::string written;
    while (!producerDone) {
        written += stderrPipe.Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    producer.join();
    // The final flush blocks on the pipe too, so drain while it runs.
    std::thread shutdown([&] { ShutdownLogging(sink); });
    std::atomic<bool> shutdownDone{false};
    std::thread watcher([&] {
        shutdown.join();
        shutdownDone = true;
    });
    while (!shutdownDone) {
        written += stderrPipe.Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    watcher.join();
    written += stderrPipe.Drain();

    EXPECT_TRUE(heldUp);
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
    Logger lineLogger;
    std::atomic<bool> producerDone{false};
    std::thread producer([&] {
        Logger floodLogger;
        for (int line = 0; line < kLines; ++line) {
            BOOST_LOG_SEV(floodLogger, INFO) << "line " << line;
        }
        producerDone = true;
    });
    const bool doneWithoutReader =
        testing_support::WaitUntil([&] { return producerDone.load(); }, std::chrono::seconds(10));

    std::string written;
    while (!producerDone) {  // only when the producer waits for the reader
        written += stderrPipe.Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    producer.join();
    // The reader is back: the queue empties up to the gap and the warning follows.
    testing_support::WaitUntil(
        [&] {
            written += stderrPipe.Drain();
            return written.find(" log lines dropped") != std::string::npos;
        },
        std::chrono::seconds(10));
    BOOST_LOG_SEV(lineLogger, INFO) << "after";
    std::atomic<bool> shutdownDone{false};
    std::thread shutdown([&] {
        EXPECT_TRUE(ShutdownLogging(sink));
        shutdownDone = true;
    });
    while (!shutdownDone) {
        written += stderrPipe.Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    shutdown.join();
    written += stderrPipe.Drain();

    EXPECT_TRUE(doneWithoutReader) << "the producer waited for the reader";
    std::istringstream lines(written);
    std::string line;
    int next = 0;
    while (std::getline(lines, line) && line == "<6>line " + std::to_string(next)) {
        ++next;
    }
    ASSERT_GT(next, 0);
    ASSERT_LT(next, kLines);
    EXPECT_EQ(line, "<4>" + std::to_string(kLines - next) +
                        " log lines dropped; standard error was not "
                        "read in time");
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "<6>after");
    EXPECT_FALSE(std::getline(lines, line)) << line;
}

}  // namespace
