#include "Support/Concurrency.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <future>
#include <latch>
#include <vector>

#include "Support/DetachedWork.h"

namespace brindlow {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueueOrdering, RunsItemsOneAtATimeInSubmissionOrder) {
    SerialQueue queue("com.brindlow.recorder.test");
    std::vector<int> seen;  // touched on the queue only
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 200; ++i) {
        queue.async([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            seen.push_back(i);
            running.fetch_sub(1);
        });
    }
    queue.sync([] {});
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(seen.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[size_t(i)], i);
}

TEST(SerialQueueOrdering, SyncFromTheQueueItselfRunsInline) {
    SerialQueue queue("inline");
    std::promise<bool> done;
    queue.async([&] {
        bool ran = false;
        queue.sync([&] { ran = queue.isCurrent(); });
        done.set_value(ran);
    });
    auto f = done.get_future();
    ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(f.get());
}

TEST(SerialQueueTimed, RunsTimedItemsAtTheirDeadlinesInOrder) {
    SerialQueue queue("timed");
    std::vector<int> order;
    std::promise<void> done;
    const auto now = SteadyClock::now();
    queue.asyncAt(now + 30ms, [&] { order.push_back(2); });
    queue.asyncAt(now + 10ms, [&] { order.push_back(1); });
    queue.asyncAt(now + 50ms, [&] {
        order.push_back(3);
        done.set_value();
    });
    queue.async([&] { order.push_back(0); });
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_GE(SteadyClock::now() - now, 50ms);
}

TEST(SerialQueueTimed, TimedWorkReachesAnIdleQueue) {
    // Regression: a worker asleep with nothing scheduled slept through new timed work,
    // and one waiting for a far deadline missed an earlier one.
    SerialQueue queue("idle");
    queue.asyncAt(SteadyClock::now() + 1h, [] {});
    std::this_thread::sleep_for(20ms);  // let the worker settle into its long wait
    std::promise<void> ran;
    queue.asyncAt(SteadyClock::now() + 1ms, [&] { ran.set_value(); });
    EXPECT_EQ(ran.get_future().wait_for(5s), std::future_status::ready);

    SerialQueue empty("empty");
    std::this_thread::sleep_for(20ms);
    std::promise<void> ranToo;
    empty.asyncAt(SteadyClock::now() + 1ms, [&] { ranToo.set_value(); });
    EXPECT_EQ(ranToo.get_future().wait_for(5s), std::future_status::ready);
}

TEST(SerialQueueLifetime, AnItemMayReleaseItsOwnQueue) {
    // Regression: an object owning a queue, released by one of that queue's items,
    // freed the queue's state under its still-running thread.
    std::promise<void> released;
    std::atomic<int> after{0};
    {
        auto queue = std::make_shared<SerialQueue>("self-release");
        SerialQueue* raw = queue.get();
        raw->async([q = std::move(queue), &released]() mutable {
            q.reset();  // the last reference: destroyed on its own thread
            released.set_value();
        });
    }
    ASSERT_EQ(released.get_future().wait_for(5s), std::future_status::ready);
    // The process keeps working: another queue runs normally.
    SerialQueue other("after-release");
    other.sync([&] { after = 1; });
    EXPECT_EQ(after, 1);
}

TEST(SerialQueueLifetime, ATimedItemMayReleaseItsOwnQueue) {
    // The queue is gone as soon as its item runs, which may be before asyncAt returns.
    std::promise<void> released;
    {
        auto queue = std::make_shared<SerialQueue>("timed-release");
        SerialQueue* raw = queue.get();
        raw->asyncAt(SteadyClock::now(), [q = std::move(queue), &released]() mutable {
            q.reset();
            released.set_value();
        });
    }
    EXPECT_EQ(released.get_future().wait_for(5s), std::future_status::ready);
}

TEST(SerialQueueLifetime, DestructionRunsPendingImmediateItems) {
    std::atomic<int> count{0};
    {
        SerialQueue queue("drain");
        for (int i = 0; i < 50; ++i) queue.async([&] { count++; });
        queue.asyncAt(SteadyClock::now() + 1h, [&] { count += 1000; });
    }
    EXPECT_EQ(count, 50);
}

TEST(ChannelDelivery, ReceivesInOrderThenEndsWhenFinished) {
    Channel<int> channel;
    std::jthread producer([&] {
        for (int i = 0; i < 1000; ++i) channel.send(i);
        channel.finish();
    });
    int expected = 0;
    while (auto v = channel.receive()) EXPECT_EQ(*v, expected++);
    EXPECT_EQ(expected, 1000);
    EXPECT_FALSE(channel.send(5));
}

TEST(ChannelDelivery, ReceiveWakesOnCancellation) {
    Channel<int> channel;
    std::promise<std::optional<int>> result;
    std::jthread consumer([&](std::stop_token token) { result.set_value(channel.receive(token)); });
    consumer.request_stop();
    auto f = result.get_future();
    ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(f.get(), std::nullopt);
}

TEST(TaskCancellation, SleepReturnsEarlyAndReportsIt) {
    std::promise<bool> slept;
    Task task([&](std::stop_token token) { slept.set_value(sleepFor(1h, token)); });
    task.cancel();
    auto f = slept.get_future();
    ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(f.get());
    EXPECT_TRUE(task.isCancelled());
    EXPECT_TRUE(sleepFor(1ms, {}));
}

TEST(RepeatingTimerTicks, FollowAbsoluteDeadlinesWithoutDrift) {
    SerialQueue queue("timer");
    std::vector<SteadyClock::time_point> ticks;  // on the queue only
    std::latch ten(10);
    const auto started = SteadyClock::now();
    RepeatingTimer timer(queue, 20ms, [&] {
        ticks.push_back(SteadyClock::now());
        std::this_thread::sleep_for(15ms);  // handler time must not push later ticks
        if (ticks.size() <= 10) ten.count_down();
    });
    timer.start();
    ten.wait();
    timer.cancel();
    ASSERT_GE(ticks.size(), 10u);
    // The tenth tick is due at start + 200 ms; a timer that re-arms after its handler
    // would need 10 x (20 + 15) ms.
    EXPECT_GE(ticks[9] - started, 200ms);
    EXPECT_LT(ticks[9] - started, 330ms);
}

TEST(RepeatingTimerTicks, NoTickAfterCancelReturns) {
    SerialQueue queue("timer-cancel");
    std::atomic<int> count{0};
    std::atomic<bool> cancelled{false};
    std::atomic<bool> lateTick{false};
    std::latch first(1);
    RepeatingTimer timer(queue, 1ms, [&] {
        if (cancelled) lateTick = true;
        if (count.fetch_add(1) == 0) first.count_down();
    });
    timer.start();
    first.wait();
    timer.cancel();
    cancelled = true;
    queue.sync([] {});
    std::this_thread::sleep_for(10ms);
    queue.sync([] {});
    EXPECT_FALSE(lateTick);
}

TEST(RepeatingTimerTicks, HandlerMayCancelItsOwnTimer) {
    SerialQueue queue("timer-self");
    std::atomic<int> count{0};
    std::unique_ptr<RepeatingTimer> timer;
    std::latch done(1);
    timer = std::make_unique<RepeatingTimer>(queue, 1ms, [&] {
        if (++count == 3) {
            timer->cancel();
            done.count_down();
        }
    });
    timer->start();
    done.wait();
    queue.sync([] {});
    std::this_thread::sleep_for(10ms);
    queue.sync([] {});
    EXPECT_EQ(count, 3);
}

}  // namespace
}  // namespace brindlow

namespace brindlow {
namespace {

TEST(DetachedWork, IsWaitedForWithALimit) {
    std::promise<void> gate;
    auto opened = gate.get_future().share();
    std::atomic<bool> finished{false};
    DetachedWork::start([opened, &finished] {
        opened.wait();
        finished = true;
    });
    EXPECT_FALSE(DetachedWork::waitForAll(std::chrono::milliseconds(50)));
    gate.set_value();
    EXPECT_TRUE(DetachedWork::waitForAll(std::chrono::seconds(5)));
    EXPECT_TRUE(finished);
}

TEST(SignalStack, EveryQueueAndTaskThreadHasItsOwn) {
    auto stackOf = [] {
        stack_t current{};
        sigaltstack(nullptr, &current);
        return current;
    };
    stack_t onQueue{}, onTask{};
    SerialQueue queue("com.brindlow.recorder.test");
    queue.sync([&] { onQueue = stackOf(); });
    std::promise<stack_t> fromTask;
    Task task([&](std::stop_token) { fromTask.set_value(stackOf()); });
    onTask = fromTask.get_future().get();
    EXPECT_FALSE(onQueue.ss_flags & SS_DISABLE);
    EXPECT_FALSE(onTask.ss_flags & SS_DISABLE);
    EXPECT_GE(onQueue.ss_size, size_t(MINSIGSTKSZ));
    EXPECT_NE(onQueue.ss_sp, onTask.ss_sp);
}

}  // namespace
}  // namespace brindlow
