#include "RecordingClock.h"

#include <gtest/gtest.h>

namespace brindlow {
namespace {

MediaTime s(double seconds) { return MediaTime::fromNanoseconds(int64_t(seconds * 1e9 + (seconds >= 0 ? 0.5 : -0.5))); }

SampleBuffer frameAt(MediaTime pts, MediaTime dts = MediaTime::invalid()) {
    return SampleBuffer::video(VideoFrame::make(4, 4), {MediaTime(1, 30), pts, dts});
}

// A history of begin ('b'), pause ('p'), resume ('r') and stop ('s') at host seconds, then
// what the timeline says at later host times.
TEST(RecordingClock, CutsPausesOutAndEndsAtStop) {
    struct Case {
        const char* name;
        std::vector<std::pair<char, double>> events;
        std::vector<std::pair<double, std::optional<double>>> recordingTimes;
        std::vector<std::pair<double, double>> elapsed;
        bool paused;
    };
    const Case cases[] = {
        {"not started", {}, {{5, std::nullopt}}, {{5, 0}}, false},
        {"begun", {{'b', 100}}, {{99, std::nullopt}, {100, 0}, {101.5, 1.5}}, {{90, 0}}, false},
        {"a closed pause", {{'b', 100}, {'p', 110}, {'r', 120}},
         {{109.9, 9.9}, {110, std::nullopt}, {115, std::nullopt}, {120, 10}, {125, 15}}, {{125, 15}}, false},
        {"an open pause", {{'b', 100}, {'p', 110}}, {{110, std::nullopt}, {500, std::nullopt}}, {{111, 10}, {1000, 10}}, true},
        {"stopped after a pause", {{'b', 100}, {'p', 110}, {'r', 120}, {'s', 130}}, {{129.9, 19.9}, {130, std::nullopt}},
         {{200, 20}}, false},
        {"stopped while paused", {{'b', 100}, {'p', 110}, {'s', 130}}, {{125, std::nullopt}}, {{200, 10}}, true},
        // Pausing before begin, resuming with nothing open and pausing twice change nothing.
        {"redundant calls", {{'p', 50}, {'b', 100}, {'r', 101}, {'p', 110}, {'p', 112}, {'r', 120}},
         {{100.5, 0.5}, {111, std::nullopt}, {121, 11}}, {}, false},
        {"begun again", {{'b', 100}, {'p', 110}, {'s', 115}, {'b', 200}}, {{300, 100}}, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingClock clock;
        for (const auto& [what, at] : c.events) {
            if (what == 'b') clock.begin(s(at));
            if (what == 'p') clock.pause(s(at));
            if (what == 'r') clock.resume(s(at));
            if (what == 's') clock.stop(s(at));
        }
        for (const auto& [host, expected] : c.recordingTimes)
            EXPECT_EQ(clock.recordingTime(s(host)), expected ? std::optional(s(*expected)) : std::nullopt) << host;
        for (const auto& [host, expected] : c.elapsed) EXPECT_DOUBLE_EQ(clock.elapsed(s(host)), expected) << host;
        EXPECT_EQ(clock.isPaused(), c.paused);
    }
}

TEST(RecordingClock, StaysExactOverManyPauses) {
    // 50 pauses of 1/3 s: a clock adding up floating seconds would drift.
    RecordingClock clock;
    clock.begin(MediaTime(0, 3));
    for (int i = 1; i <= 50; ++i) {
        clock.pause(MediaTime(2 * i, 3));
        clock.resume(MediaTime(2 * i + 1, 3));
    }
    EXPECT_EQ(clock.recordingTime(MediaTime(102, 3)), MediaTime(52, 3));
}

TEST(RecordingClock, RetimeAndShiftMoveOnlyValidTimestamps) {
    RecordingClock clock;
    clock.begin(s(100));
    clock.pause(s(110));
    clock.resume(s(120));
    const SampleBuffer frame = frameAt(s(125));
    const auto retimed = clock.retime(frame);
    ASSERT_TRUE(retimed.has_value());
    EXPECT_EQ(retimed->presentationTime(), s(15));
    EXPECT_FALSE(retimed->timing()[0].decode.isValid());
    EXPECT_EQ(clock.retime(frameAt(s(115))), std::nullopt);
    EXPECT_EQ(clock.retime(frameAt(MediaTime::invalid())), std::nullopt);

    const auto shifted = RecordingClock::shift(frameAt(s(10), s(9)), s(-2));
    ASSERT_TRUE(shifted.has_value());
    EXPECT_EQ(shifted->timing()[0].presentation, s(8));
    EXPECT_EQ(shifted->timing()[0].decode, s(7));
}

}  // namespace
}  // namespace brindlow
