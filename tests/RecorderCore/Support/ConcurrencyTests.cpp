#include "Support/Concurrency.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <vector>

#include "Support/DetachedWork.h"

namespace brindlow {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, RunsItemsOneAtATimeInOrderAndSyncFromItselfInline) {
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
    std::promise<bool> inline_;
    queue.async([&] {
        bool ran = false;
        queue.sync([&] { ran = queue.isCurrent(); });
        inline_.set_value(ran);
    });
    auto f = inline_.get_future();
    ASSERT_EQ(f.wait_for(5s), std::future_status::ready) << "sync from the queue itself deadlocked";
    EXPECT_TRUE(f.get());
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(seen.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[size_t(i)], i);
}

TEST(SerialQueue, RunsTimedItemsAtTheirDeadlinesInOrderEvenOnAnIdleQueue) {
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
    // Regression: a worker asleep with nothing scheduled slept through new timed work,
    // and one waiting for a far deadline missed an earlier one.
    for (const bool farItemFirst : {true, false}) {
        SerialQueue idle("idle");
        if (farItemFirst) idle.asyncAt(SteadyClock::now() + 1h, [] {});
        std::this_thread::sleep_for(20ms);  // let the worker settle into its wait
        std::promise<void> ran;
        idle.asyncAt(SteadyClock::now() + 1ms, [&] { ran.set_value(); });
        EXPECT_EQ(ran.get_future().wait_for(5s), std::future_status::ready) << farItemFirst;
    }
}

// Regression: an object owning a queue, released by one of that queue's items, freed the
// queue's state under its still-running thread. A timed item may run before asyncAt returns.
TEST(SerialQueue, AnItemMayReleaseItsOwnQueueAndDestructionRunsPendingImmediateItems) {
    for (const bool timed : {false, true}) {
        std::promise<void> released;
        {
            auto queue = std::make_shared<SerialQueue>("self-release");
            SerialQueue* raw = queue.get();
            auto item = [q = std::move(queue), &released]() mutable {
                q.reset();  // the last reference: destroyed on its own thread
                released.set_value();
            };
            if (timed) raw->asyncAt(SteadyClock::now(), std::move(item));
            else raw->async(std::move(item));
        }
        ASSERT_EQ(released.get_future().wait_for(5s), std::future_status::ready) << timed;
    }
    // A queue destroyed afterwards still runs its pending immediate items, and only those.
    std::atomic<int> count{0};
    {
        SerialQueue queue("drain");
        for (int i = 0; i < 50; ++i) queue.async([&] { count++; });
        queue.asyncAt(SteadyClock::now() + 1h, [&] { count += 1000; });
    }
    EXPECT_EQ(count, 50);
}

TEST(ChannelAndTask, DeliverInOrderAndWakeOnCancellation) {
    Channel<int> channel;
    std::jthread producer([&] {
        for (int i = 0; i < 1000; ++i) channel.send(i);
        channel.finish();
    });
    int expected = 0;
    while (auto v = channel.receive()) EXPECT_EQ(*v, expected++);
    EXPECT_EQ(expected, 1000);
    EXPECT_FALSE(channel.send(5));

    Channel<int> empty;
    std::promise<std::optional<int>> received;
    std::promise<bool> slept;
    std::jthread consumer([&](std::stop_token token) { received.set_value(empty.receive(token)); });
    Task task([&](std::stop_token token) { slept.set_value(sleepFor(1h, token)); });
    consumer.request_stop();
    task.cancel();
    auto r = received.get_future();
    auto s = slept.get_future();
    ASSERT_EQ(r.wait_for(5s), std::future_status::ready);
    ASSERT_EQ(s.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(r.get(), std::nullopt);
    EXPECT_FALSE(s.get());
    EXPECT_TRUE(sleepFor(1ms, {}));
}

// Every tick keeps to the grid laid at start, however long its handler takes (late ones are
// skipped, not shifted), and none runs before its deadline.
TEST(RepeatingTimer, TicksFollowAbsoluteDeadlinesWithoutDrift) {
    SerialQueue queue("timer");
    std::vector<std::pair<SteadyClock::time_point, SteadyClock::time_point>> ticks;  // due, ran; on the queue only
    std::latch ten(10);
    const auto started = SteadyClock::now();
    RepeatingTimer timer(queue, 20ms, [&](SteadyClock::time_point deadline) {
        ticks.emplace_back(deadline, SteadyClock::now());
        std::this_thread::sleep_for(15ms);  // re-arming after the handler would drift by this
        if (ticks.size() <= 10) ten.count_down();
    });
    timer.start();
    ten.wait();
    timer.cancel();
    EXPECT_GE(ticks[0].first, started + 20ms);
    for (size_t i = 0; i < ticks.size(); ++i) {
        EXPECT_GE(ticks[i].second, ticks[i].first) << "tick " << i << " ran early";
        const auto step = i ? ticks[i].first - ticks[i - 1].first : 20ms;
        EXPECT_TRUE(step > 0ms && step % 20ms == 0ms) << "tick " << i << " is off the grid";
    }
}

// No tick runs once cancel has returned, whether another thread or the handler cancelled.
TEST(RepeatingTimer, NoTickAfterCancelReturns) {
    for (const bool fromHandler : {false, true}) {
        SerialQueue queue("timer-cancel");
        std::atomic<int> count{0};
        std::atomic<bool> cancelled{false}, lateTick{false};
        std::latch third(1);
        std::unique_ptr<RepeatingTimer> timer;
        const auto cancel = [&] {
            timer->cancel();
            cancelled = true;
        };
        timer = std::make_unique<RepeatingTimer>(queue, 1ms, [&] {
            if (cancelled) lateTick = true;
            if (++count != 3) return;
            if (fromHandler) cancel();
            third.count_down();
        });
        timer->start();
        third.wait();
        if (!fromHandler) cancel();
        queue.sync([] {});
        std::this_thread::sleep_for(10ms);
        queue.sync([] {});
        EXPECT_FALSE(lateTick) << fromHandler;
    }
}

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

}  // namespace
}  // namespace brindlow
