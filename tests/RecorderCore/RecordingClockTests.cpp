#include "RecordingClock.h"

#include <gtest/gtest.h>

namespace brindlow {
namespace {

MediaTime s(double seconds) { return MediaTime::fromNanoseconds(int64_t(seconds * 1e9 + (seconds >= 0 ? 0.5 : -0.5))); }

SampleBuffer frameAt(MediaTime pts, MediaTime dts = MediaTime::invalid()) {
    return SampleBuffer::video(VideoFrame::make(4, 4), {MediaTime(1, 30), pts, dts});
}

class RecordingClockTest : public ::testing::Test {
protected:
    RecordingClock clock;
};

TEST_F(RecordingClockTest, NotStartedGivesNothing) {
    EXPECT_EQ(clock.recordingTime(s(5)), std::nullopt);
    EXPECT_EQ(clock.elapsed(s(5)), 0);
}

TEST_F(RecordingClockTest, BegunAtHundredSeconds) {
    clock.begin(s(100));
    EXPECT_EQ(clock.recordingTime(s(99)), std::nullopt);
    EXPECT_EQ(clock.recordingTime(s(100)), MediaTime::zero());
    EXPECT_EQ(clock.recordingTime(s(101.5)), s(1.5));
    EXPECT_EQ(clock.elapsed(s(90)), 0);  // now before start
}

TEST_F(RecordingClockTest, ClosedPauseIsCutOut) {
    clock.begin(s(100));
    clock.pause(s(110));
    clock.resume(s(120));
    EXPECT_EQ(clock.recordingTime(s(109.9)), s(9.9));
    EXPECT_EQ(clock.recordingTime(s(110)), std::nullopt);
    EXPECT_EQ(clock.recordingTime(s(115)), std::nullopt);
    EXPECT_EQ(clock.recordingTime(s(120)), s(10));
    EXPECT_EQ(clock.recordingTime(s(125)), s(15));
    EXPECT_DOUBLE_EQ(clock.elapsed(s(125)), 15);
}

TEST_F(RecordingClockTest, OpenPauseFreezesTheTimeline) {
    clock.begin(s(100));
    clock.pause(s(110));
    EXPECT_TRUE(clock.isPaused());
    EXPECT_EQ(clock.recordingTime(s(110)), std::nullopt);
    EXPECT_EQ(clock.recordingTime(s(500)), std::nullopt);
    EXPECT_DOUBLE_EQ(clock.elapsed(s(111)), 10);
    EXPECT_DOUBLE_EQ(clock.elapsed(s(1000)), 10);
}

TEST_F(RecordingClockTest, StopAfterAPauseEndsTheTimeline) {
    clock.begin(s(100));
    clock.pause(s(110));
    clock.resume(s(120));
    clock.stop(s(130));
    EXPECT_EQ(clock.recordingTime(s(129.9)), s(19.9));
    EXPECT_EQ(clock.recordingTime(s(130)), std::nullopt);
    EXPECT_DOUBLE_EQ(clock.elapsed(s(200)), 20);
}

TEST_F(RecordingClockTest, StopDuringPauseEndsAtPauseStart) {
    clock.begin(s(100));
    clock.pause(s(110));
    clock.stop(s(130));
    EXPECT_TRUE(clock.isPaused());
    EXPECT_DOUBLE_EQ(clock.elapsed(s(200)), 10);
}

TEST_F(RecordingClockTest, RedundantPausesAndResumesAreIgnored) {
    clock.pause(s(50));  // before begin
    clock.begin(s(100));
    EXPECT_FALSE(clock.isPaused());
    clock.resume(s(101));  // nothing open
    clock.pause(s(110));
    clock.pause(s(112));  // keeps the first
    clock.resume(s(120));
    EXPECT_EQ(clock.recordingTime(s(111)), std::nullopt);
    EXPECT_EQ(clock.recordingTime(s(121)), s(11));
}

TEST_F(RecordingClockTest, BeginAgainClearsPausesAndStop) {
    clock.begin(s(100));
    clock.pause(s(110));
    clock.stop(s(115));
    clock.begin(s(200));
    EXPECT_FALSE(clock.isPaused());
    EXPECT_EQ(clock.recordingTime(s(300)), s(100));
}

TEST_F(RecordingClockTest, ElapsedIsExactOverManyPauses) {
    // 50 pauses of 1/3 s in nanoseconds: float accumulation would drift.
    clock.begin(MediaTime(0, 3));
    for (int i = 1; i <= 50; ++i) {
        clock.pause(MediaTime(2 * i, 3));
        clock.resume(MediaTime(2 * i + 1, 3));
    }
    EXPECT_EQ(clock.recordingTime(MediaTime(102, 3)), MediaTime(52, 3));
}

TEST_F(RecordingClockTest, RetimeMovesPresentationAndKeepsInvalidDecodeTimes) {
    clock.begin(s(100));
    clock.pause(s(110));
    clock.resume(s(120));
    const SampleBuffer frame = frameAt(s(125));
    const auto retimed = clock.retime(frame);
    ASSERT_TRUE(retimed.has_value());
    EXPECT_EQ(retimed->presentationTime(), s(15));
    EXPECT_FALSE(retimed->timing()[0].decode.isValid());
    EXPECT_EQ(retimed->duration(), MediaTime(1, 30));
    EXPECT_EQ(retimed->payload(), frame.payload());  // pixels shared, not copied

    EXPECT_EQ(clock.retime(frameAt(s(115))), std::nullopt);
    EXPECT_EQ(clock.retime(frameAt(MediaTime::invalid())), std::nullopt);
}

TEST(RecordingClockShift, MovesEveryValidTimestamp) {
    const auto shifted = RecordingClock::shift(frameAt(s(10), s(9)), s(-2));
    ASSERT_TRUE(shifted.has_value());
    EXPECT_EQ(shifted->timing()[0].presentation, s(8));
    EXPECT_EQ(shifted->timing()[0].decode, s(7));
}

}  // namespace
}  // namespace brindlow
