// Work run on the worker thread: immediate tasks in order, the retry delay on the clock, shutdown.
#include <atomic>
#include <mutex>
#include <thread>

#include <gmock/gmock.h>

#include "unit/service_fixture.h"

namespace vaultline {

using ::testing::ElementsAre;
using unit_support::ServiceTest;

namespace {

class TaskQueueTest : public ServiceTest {};

TEST_F(TaskQueueTest, ImmediateTasksRunInOrderOnTheWorkerThread) {
    std::mutex mutex;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    for (int task = 0; task < 3; ++task) {
        Access().Schedule(
            [&, task] {
                std::lock_guard<std::mutex> lock(mutex);
                order.push_back(task);
                threads.push_back(std::this_thread::get_id());
            },
            false);
    }
    WaitForPasses(1);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_THAT(order, ElementsAre(0, 1, 2));
    for (const auto& thread : threads) {
        EXPECT_EQ(thread, Access().WorkerId());
    }
}

// The real five seconds are the process tests' to show; here the clock is moved instead.
TEST_F(TaskQueueTest, DelayedTaskRunsFiveSecondsLaterAfterAnImmediateOne) {
    std::atomic<bool> immediateRan{false};
    std::atomic<bool> delayedRan{false};
    std::atomic<bool> immediateFirst{false};
    Access().Schedule([&] { delayedRan = true; }, true);
    Access().Schedule(
        [&] {
            immediateFirst = !delayedRan;
            immediateRan = true;
        },
        false);
    WaitForPasses(2);
    EXPECT_TRUE(immediateRan);
    clock.Advance(std::chrono::seconds(4));
    WaitForPasses(2);
    EXPECT_FALSE(delayedRan);
    clock.Advance(std::chrono::seconds(1));
    WaitForPasses(2);
    EXPECT_TRUE(delayedRan);
    EXPECT_TRUE(immediateFirst);
}

// The delay runs on the service's clock: moving it runs delayed tasks in the order they fall due,
// and not one before its time.
TEST_F(TaskQueueTest, DelayedTasksRunInDueOrderWhenTheClockReachesThem) {
    std::mutex mutex;
    std::vector<int> order;
    const auto record = [&](int task) {
        return [&, task] {
            std::lock_guard<std::mutex> lock(mutex);
            order.push_back(task);
        };
    };
    const auto ran = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return order;
    };
    Access().Schedule(record(0), true);
    Access().Schedule(record(1), true);
    clock.Advance(std::chrono::seconds(2));
    Access().Schedule(record(2), true);
    WaitForPasses(2);
    EXPECT_THAT(ran(), ElementsAre());
    clock.Advance(std::chrono::seconds(3));
    WaitForPasses(2);
    EXPECT_THAT(ran(), ElementsAre(0, 1));
    EXPECT_EQ(Access().QueuedTasks(), 1);
    clock.Advance(std::chrono::seconds(2));
    WaitForPasses(2);
    EXPECT_THAT(ran(), ElementsAre(0, 1, 2));
    EXPECT_EQ(Access().QueuedTasks(), 0);
}

TEST_F(TaskQueueTest, DelayedTaskStillWaitingWhenTheServiceEndsNeverRuns) {
    auto ran = std::make_shared<std::atomic<bool>>(false);
    Access().Schedule([ran] { *ran = true; }, true);
    WaitForPasses(1);
    service.reset();
    EXPECT_FALSE(*ran);
    EXPECT_TRUE(log.Lines().empty());
}

}  // namespace

}  // namespace vaultline
