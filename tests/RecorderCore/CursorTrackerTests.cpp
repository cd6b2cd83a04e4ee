#include "CursorTracker.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <future>
#include <thread>

namespace brindlow {
namespace {

using namespace std::chrono_literals;

// Answers each sample from a script indexed by the sample's number.
class ScriptedSampler : public CursorSampler {
public:
    explicit ScriptedSampler(std::function<CursorState(int)> script) : script_(std::move(script)) {}
    void start() override {}
    void stop() override {}
    CursorState sample() override {
        std::lock_guard lock(mutex_);
        changed_.notify_all();
        return script_(calls_++);
    }
    bool waitForCalls(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return calls_ >= count; });
    }
    int calls() { std::lock_guard lock(mutex_); return calls_; }

private:
    std::function<CursorState(int)> script_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int calls_ = 0;
};

// Finds a button under every point; can hold each call until released.
class GatedInspector : public ElementInspector {
public:
    std::optional<InspectedElement> element(Point at) override {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return open; });
        return InspectedElement{{at.x - 10, at.y - 5, 20, 10}, "button", "Save"};
    }
    void release() {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
    std::mutex mutex;
    std::condition_variable changed;
    bool open = true;
};

std::shared_ptr<RecordingClock> runningClock() {
    auto clock = std::make_shared<RecordingClock>();
    clock->begin(hostNow());
    return clock;
}

constexpr Rect display{100, 50, 200, 100};

TEST(CursorTracker, RecordsNormalisedMovesAndInspectsOncePerPrimaryPress) {
    // Every other tick outside the display; ticks 3-5 hold the primary button, 7-8 the secondary.
    auto sampler = std::make_shared<ScriptedSampler>([](int n) {
        std::set<int64_t> held;
        if (n >= 3 && n <= 5) held = {0};
        if (n >= 7 && n <= 8) held = {1};
        return n % 2 ? CursorState{{200, 100}, held, CursorShape::text} : CursorState{{-100, 400}, held, CursorShape::arrow};
    });
    auto inspector = std::make_shared<GatedInspector>();
    CursorTracker tracker({sampler, display, 200, inspector}, runningClock());
    tracker.start();
    ASSERT_TRUE(sampler->waitForCalls(12));
    const CursorLog log = tracker.stop();
    EXPECT_EQ(log.display, (Size{200, 100}));
    ASSERT_FALSE(log.moves.empty());
    EXPECT_EQ(log.moves[0], (CursorLog::Move{log.moves[0].t, -1.0, 3.5}));
    ASSERT_GE(log.shapes.size(), 2u);
    EXPECT_EQ(log.shapes[1].shape, CursorShape::text);
    ASSERT_EQ(log.clicks.size(), 4u);
    EXPECT_EQ(log.clicks[0], (CursorLog::Click{log.clicks[0].t, 0, true}));
    EXPECT_EQ(log.clicks[2].button, 1);
    ASSERT_EQ(log.elements.size(), 1u);
    EXPECT_EQ(log.elements[0].t, log.clicks[0].t);  // the click's time, not the inspection's
    EXPECT_DOUBLE_EQ(log.elements[0].x, 0.45);
}

// Inspections are slow and queue up: at most eight wait, and neither stop nor destruction
// returns while one is running, since it touches the tracker.
TEST(CursorTracker, AtMostEightInspectionsWaitAndTheTrackerEndsAfterThem) {
    for (const bool stopFirst : {true, false}) {
        SCOPED_TRACE(stopFirst ? "stopped" : "destroyed without stop");
        auto sampler = std::make_shared<ScriptedSampler>([](int n) {
            return CursorState{{150, 75}, n % 2 ? std::set<int64_t>{0} : std::set<int64_t>{}, CursorShape::arrow};
        });
        auto inspector = std::make_shared<GatedInspector>();
        inspector->open = false;
        auto tracker = std::make_unique<CursorTracker>(CursorCapture{sampler, display, 200, inspector}, runningClock());
        tracker->start();
        ASSERT_TRUE(sampler->waitForCalls(40));  // 20 presses
        CursorLog log;
        auto ended = std::async(std::launch::async, [&] {
            if (stopFirst) log = tracker->stop();
            tracker.reset();
        });
        EXPECT_EQ(ended.wait_for(200ms), std::future_status::timeout) << "ended with an inspection running";
        inspector->release();
        ended.get();
        if (!stopFirst) continue;
        EXPECT_EQ(log.elements.size(), 8u);
        EXPECT_GE(log.clicks.size(), 39u);  // every press and release is still recorded
    }
}

TEST(CursorTracker, PausedTicksRecordNothing) {
    auto clock = std::make_shared<RecordingClock>();
    clock->begin(hostNow());
    clock->pause(hostNow());
    auto sampler = std::make_shared<ScriptedSampler>(
        [](int n) { return CursorState{{100.0 + n, 50}, {}, CursorShape::arrow}; });
    CursorTracker tracker({sampler, display, 200, nullptr}, clock);
    tracker.start();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(sampler->calls(), 0) << "sampled while paused";
    clock->resume(hostNow());
    ASSERT_TRUE(sampler->waitForCalls(3));
    const CursorLog log = tracker.stop();
    ASSERT_FALSE(log.moves.empty());
    EXPECT_LT(log.moves.front().t, 100) << "the paused stretch is not on the timeline";
}

}  // namespace
}  // namespace brindlow
