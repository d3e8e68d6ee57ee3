// Running out of descriptors and unexpected errors on the worker: the passes go on, the
// connections are kept, and an error that escapes a task stops the service in order.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <gmock/gmock.h>

#include "app/process_setup.h"
#include "on_change/runner.h"
#include "unit/service_fixture.h"

namespace vaultline {

using ::testing::HasSubstr;
using ::testing::Not;
using unit_support::ServiceTest;

namespace {

// Lowers the soft descriptor limit of the whole test process while it exists.
class SoftDescriptorLimit {
public:
    explicit SoftDescriptorLimit(rlim_t soft) {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = soft;
        setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~SoftDescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }

private:
    rlimit saved_{};
};

class DescriptorExhaustionTest : public ServiceTest {
protected:
    // The target connected and logged in, so every pass watches its socket.
    void ConnectTarget() {
        WriteStandardConfiguration(0);
        ASSERT_TRUE(service->Initialize());
        WaitForPasses(1);
        OnWorker([] { scripted_sdk::Deliver(1, KXAPI_EVENT_LOGIN, 0); });
    }

    long CountLinesWith(const std::string& piece) const {
        const auto lines = log.Lines();
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(piece) != std::string::npos;
        });
    }
};

TEST_F(DescriptorExhaustionTest, PassWithoutAnEpollSetLogsOnceWaitsAndDeclaresNothingLost) {
    Restart(ServiceTimes{});
    ConnectTarget();
    const std::size_t mark = log.Lines().size();
    std::chrono::steady_clock::duration spent{};
    {
        // Below every descriptor already open: not even the spare can make room.
        SoftDescriptorLimit limit(3);
        const auto start = std::chrono::steady_clock::now();
        WaitForPasses(4);
        spent = std::chrono::steady_clock::now() - start;
    }
    WaitForPasses(2);
    const auto lines = log.LinesFrom(mark);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "ERROR epoll_create failed; error 24: Too many open files");
    for (const auto& line : lines) {
        EXPECT_EQ(line, lines[0]);
    }
    // Each failed pass still lasts its 100 ms instead of spinning.
    EXPECT_GE(lines.size(), 3u);
    EXPECT_LE(lines.size(), 6u);
    EXPECT_GE(spent, std::chrono::milliseconds(300));
    ConnState state = ConnState::Closed;
    OnWorker([&] { state = TargetServer().link.State(); });
    EXPECT_EQ(state, ConnState::LoggedIn);

    // Once descriptors are available again the socket is watched as before.
    const int receives = scripted_sdk::Inspect(1).recvCalls;
    scripted_sdk::MakeReadable(1);
    EXPECT_TRUE(testing_support::WaitUntil(
        [&] { return scripted_sdk::Inspect(1).recvCalls > receives; }, std::chrono::seconds(5)));
}

TEST_F(DescriptorExhaustionTest, OpenConnectionsAreStillServedWhenEveryDescriptorIsTaken) {
    ConnectTarget();
    SoftDescriptorLimit limit(512);
    std::vector<int> fillers;
    // Taken on the worker between two passes, as connections would take them.
    OnWorker([&] {
        for (int fd = open("/dev/null", O_RDONLY | O_CLOEXEC); fd >= 0;
             fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) {
            fillers.push_back(fd);
        }
    });
    const int receives = scripted_sdk::Inspect(1).recvCalls;
    scripted_sdk::MakeReadable(1);
    const bool served = testing_support::WaitUntil(
        [&] { return scripted_sdk::Inspect(1).recvCalls > receives; }, std::chrono::seconds(5));
    WaitForPasses(3);
    for (const int fd : fillers) {
        close(fd);
    }
    EXPECT_FALSE(fillers.empty());
    EXPECT_TRUE(served);
    EXPECT_EQ(CountLinesWith("failed"), 0) << testing::PrintToString(log.Lines());
    EXPECT_EQ(CountLinesWith("lost"), 0);
}

TEST_F(DescriptorExhaustionTest, ErrorEscapingATaskIsLoggedAndStopsTheServiceAsAFailure) {
    WriteStandardConfiguration(0);
    ASSERT_TRUE(service->Initialize());
    Access().Schedule([] { throw std::runtime_error("reactor gone"); }, false);
    ASSERT_TRUE(testing_support::WaitUntil([&] { return Access().StopRequested(); },
                                           std::chrono::seconds(5)));
    service->StopWorker();
    EXPECT_TRUE(service->WorkerFailed());
    EXPECT_TRUE(log.Contains("FATAL worker stopped by an unexpected error: reactor gone"));
}

TEST(DescriptorLimit, SoftLimitIsRaisedToTheHardLimit) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = std::min<rlim_t>(saved.rlim_max - 1, 256);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    EXPECT_TRUE(RaiseDescriptorLimit());
    rlimit raised{};
    getrlimit(RLIMIT_NOFILE, &raised);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(raised.rlim_cur, saved.rlim_max);
}

// The operator's command needs a pipe: without a descriptor for it, the moment waits and is tried
// again after the retry delay.
TEST_F(DescriptorExhaustionTest, OnChangeCommandWithoutADescriptorIsTriedAgainLater) {
    // Only this thread runs while descriptors are short: the fixture's worker would otherwise
    // meet its first stream checks without a descriptor for them.
    service->StopWorker();
    const auto script = directory.WriteFile("on-change", "#!/bin/sh\necho \"$VAULTLINE_EVENT\"\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    OnChangeRunner runner;
    runner.Configure(OnChangeSettings{script.string(), std::chrono::seconds(60)},
                     std::chrono::seconds(5));
    runner.Notify(AddressMoment("", "10.0.0.5"));
    // UBSan checks a stream's dynamic type through a pipe of its own the first time it meets it:
    // this thread logs once while it still can.
    BOOST_LOG_SEV(*logger, Severity::INFO) << "descriptors about to run out";
    const auto start = std::chrono::steady_clock::now();
    {
        SoftDescriptorLimit limit(3);
        runner.Poll(start);
    }
    EXPECT_TRUE(log.Contains("WARNING on-change command " + script.string() +
                             " (address) could not be started: Too many open files; trying "
                             "again in 5 s"));
    runner.Poll(start + std::chrono::seconds(4));
    EXPECT_EQ(CountLinesWith("on-change"), 1);
    runner.Poll(start + std::chrono::seconds(5));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!log.Contains("INFO on-change command (address) exited with status 0") &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        runner.Poll(start + std::chrono::seconds(5));
    }
    EXPECT_TRUE(log.Contains("INFO on-change: address"));
    EXPECT_TRUE(log.Contains("INFO on-change command (address) exited with status 0"));
}

}  // namespace

}  // namespace vaultline
