// Work run on the worker thread: order of immediate tasks, the 5-second delay, shutdown.
#include <atomic>
#include <future>
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

TEST_F(TaskQueueTest, DelayedTaskRunsFiveSecondsLaterAfterAnImmediateOne) {
    using Clock = std::chrono::steady_clock;
    std::promise<Clock::time_point> immediate;
    std::promise<Clock::time_point> delayed;
    const auto scheduledAt = Clock::now();
    Access().Schedule([&] { delayed.set_value(Clock::now()); }, true);
    Access().Schedule([&] { immediate.set_value(Clock::now()); }, false);

    auto delayedRun = delayed.get_future();
    ASSERT_EQ(delayedRun.wait_for(std::chrono::seconds(15)), std::future_status::ready);
    const auto delayedAt = delayedRun.get();
    const auto immediateAt = immediate.get_future().get();
    EXPECT_LT(immediateAt, delayedAt);
    EXPECT_GE(delayedAt - scheduledAt, std::chrono::milliseconds(5000));
    // Generous: the queue promises about 200 ms, the shared test machine may add more.
    EXPECT_LT(delayedAt - scheduledAt, std::chrono::milliseconds(8000));
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
