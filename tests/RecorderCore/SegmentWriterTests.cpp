#include "SegmentWriter.h"

#include <gtest/gtest.h>

#include <chrono>

#include "RecorderError.h"
#include "Support/SyntheticMedia.h"

namespace brindlow {
namespace {

using Status = SegmentEncoder::Status;

// An encoder that does what the test tells it: stall, refuse, fail.
class ScriptedEncoder : public SegmentEncoder {
public:
    struct Script {
        bool videoReady = true;
        bool audioReady = true;
        bool refuse = false;
        bool failAtFinish = false;
        bool broken = false;  // the session failed mid-take
        int startCalls = 0;
        int cancelCalls = 0;
        int finishCalls = 0;
        std::vector<MediaTime> videoTimes;
        std::vector<MediaTime> audioTimes;
        bool videoMarked = false;
        bool audioMarked = false;
    };
    explicit ScriptedEncoder(Script& script) : s_(script) {}

    void startWriting() override {
        ++s_.startCalls;
        status_ = Status::writing;
    }
    bool isReadyForVideo() const override { return s_.videoReady; }
    bool isReadyForAudio() const override { return s_.audioReady; }
    bool appendVideo(const SampleBuffer& b) override {
        if (s_.refuse) return false;
        s_.videoTimes.push_back(b.presentationTime());
        return true;
    }
    bool appendAudio(const SampleBuffer& b) override {
        if (s_.refuse) return false;
        s_.audioTimes.push_back(b.presentationTime());
        return true;
    }
    void markVideoFinished() override { s_.videoMarked = true; }
    void markAudioFinished() override { s_.audioMarked = true; }
    void finishWriting() override {
        ++s_.finishCalls;
        status_ = s_.failAtFinish ? Status::failed : Status::completed;
    }
    void cancelWriting() override {
        ++s_.cancelCalls;
        status_ = Status::cancelled;
    }
    Status status() const override { return s_.broken ? Status::failed : status_; }
    std::exception_ptr error() const override { return nullptr; }

private:
    Script& s_;
    Status status_ = Status::unknown;
};

class SegmentWriterTest : public ::testing::Test {
protected:
    std::unique_ptr<SegmentWriter> makeWriter(bool withAudio) {
        return std::make_unique<SegmentWriter>(
            VideoSettings{64, 64, 30, 8'000'000}, withAudio ? std::optional(AudioSettings{}) : std::nullopt,
            [](StreamSegment) {},
            [this](const VideoOutputSettings& settings, const std::optional<AudioSettings>&, SegmentEncoder::OnSegment) {
                requested = settings;
                return std::make_unique<ScriptedEncoder>(script);
            });
    }
    static SampleBuffer frame(int i) {
        return testing::videoSample(VideoFrame::make(4, 4), MediaTime(i, 30), 30);
    }
    static SampleBuffer audio(int i) { return testing::sineSample(i * 480, 480, MediaTime(i, 100)); }

    ScriptedEncoder::Script script;
    VideoOutputSettings requested;
};

TEST_F(SegmentWriterTest, AudioBeforeTheFirstFrameIsDiscardedUncounted) {
    auto writer = makeWriter(true);
    EXPECT_TRUE(writer->isReadyForVideo());
    writer->appendAudio(audio(0));
    writer->appendAudio(audio(1));
    EXPECT_EQ(script.startCalls, 0);
    writer->appendVideo(frame(0));
    writer->appendAudio(audio(2));
    EXPECT_EQ(script.startCalls, 1);
    EXPECT_EQ(script.audioTimes, std::vector{MediaTime(2, 100)});
    EXPECT_EQ(writer->droppedAudioBuffers(), 0);
}

TEST_F(SegmentWriterTest, NinthWaitingFrameDropsTheOldest) {
    auto writer = makeWriter(true);
    writer->appendVideo(frame(0));  // starts; accepted
    script.videoReady = false;
    for (int i = 1; i <= 8; ++i) writer->appendVideo(frame(i));
    EXPECT_EQ(writer->droppedVideoFrames(), 0);
    writer->appendVideo(frame(9));
    EXPECT_EQ(writer->droppedVideoFrames(), 1);
    script.videoReady = true;
    writer->appendVideo(frame(10));
    // Frame 1 was the oldest waiting and is the one lost.
    ASSERT_EQ(script.videoTimes.size(), 10u);
    EXPECT_EQ(script.videoTimes[1], MediaTime(2, 30));
    EXPECT_EQ(script.videoTimes.back(), MediaTime(10, 30));
}

TEST_F(SegmentWriterTest, ThirtyThirdWaitingAudioBufferDropsTheOldest) {
    auto writer = makeWriter(true);
    writer->appendVideo(frame(0));
    script.audioReady = false;
    for (int i = 0; i < 32; ++i) writer->appendAudio(audio(i));
    EXPECT_EQ(writer->droppedAudioBuffers(), 0);
    writer->appendAudio(audio(32));
    EXPECT_EQ(writer->droppedAudioBuffers(), 1);
}

TEST_F(SegmentWriterTest, RefusedSamplesAreCounted) {
    auto writer = makeWriter(true);
    script.refuse = true;
    writer->appendVideo(frame(0));
    writer->appendVideo(frame(1));
    writer->appendAudio(audio(0));
    EXPECT_EQ(writer->droppedVideoFrames(), 2);
    EXPECT_EQ(writer->droppedAudioBuffers(), 1);
}

TEST_F(SegmentWriterTest, FinishWithoutVideoReturnsAtOnce) {
    auto writer = makeWriter(true);
    writer->appendAudio(audio(0));
    EXPECT_NO_THROW(writer->finish());
    EXPECT_EQ(script.startCalls, 0);
    EXPECT_EQ(script.finishCalls, 0);
    writer->appendVideo(frame(0));  // finished: ignored
    EXPECT_EQ(script.startCalls, 0);
}

TEST_F(SegmentWriterTest, BacklogThatNeverEmptiesGivesUpAndStillFinishes) {
    auto writer = makeWriter(false);
    writer->appendVideo(frame(0));
    script.videoReady = false;
    for (int i = 1; i <= 5; ++i) writer->appendVideo(frame(i));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(writer->finish());
    const auto spent = std::chrono::steady_clock::now() - started;
    EXPECT_GE(spent, std::chrono::milliseconds(1900));  // 200 passes 10 ms apart
    EXPECT_LT(spent, std::chrono::seconds(10));
    EXPECT_EQ(script.finishCalls, 1);
    EXPECT_TRUE(script.videoMarked);
    EXPECT_FALSE(script.audioMarked);
}

TEST_F(SegmentWriterTest, FinishDrainsWhatWaitsOnceTheEncoderCatchesUp) {
    auto writer = makeWriter(true);
    writer->appendVideo(frame(0));
    script.videoReady = false;
    writer->appendVideo(frame(1));
    writer->appendVideo(frame(2));
    script.videoReady = true;
    writer->finish();
    EXPECT_EQ(script.videoTimes.size(), 3u);
    EXPECT_TRUE(script.audioMarked);
}

TEST_F(SegmentWriterTest, FailedEncoderThrowsFromFinish) {
    auto writer = makeWriter(false);
    writer->appendVideo(frame(0));
    script.failAtFinish = true;
    try {
        writer->finish();
        FAIL() << "finish did not throw";
    } catch (const RecorderError& e) {
        EXPECT_EQ(e, RecorderError::encoderUnavailable("writer failed"));
    }
}

TEST_F(SegmentWriterTest, CancelAfterStartStopsTheEncoderAndLaterAppendsAreIgnored) {
    auto writer = makeWriter(true);
    writer->appendVideo(frame(0));
    writer->cancel();
    EXPECT_EQ(script.cancelCalls, 1);
    writer->appendVideo(frame(1));
    writer->appendAudio(audio(0));
    EXPECT_EQ(script.videoTimes.size(), 1u);
    EXPECT_TRUE(script.audioTimes.empty());
    EXPECT_EQ(writer->droppedVideoFrames(), 0);
}

TEST_F(SegmentWriterTest, CancelBeforeStartTouchesNoEncoder) {
    auto writer = makeWriter(false);
    writer->cancel();
    EXPECT_EQ(script.cancelCalls, 0);
    writer->appendVideo(frame(0));
    EXPECT_EQ(script.startCalls, 0);
}

TEST_F(SegmentWriterTest, WriterWithoutAudioIgnoresAudio) {
    auto writer = makeWriter(false);
    writer->appendVideo(frame(0));
    writer->appendAudio(audio(0));
    EXPECT_TRUE(script.audioTimes.empty());
    EXPECT_EQ(writer->droppedAudioBuffers(), 0);
}

TEST_F(SegmentWriterTest, SamplesAfterTheEncoderStoppedWritingAreIgnored) {
    auto writer = makeWriter(true);
    writer->appendVideo(frame(0));
    script.broken = true;
    writer->appendVideo(frame(1));
    writer->appendAudio(audio(0));
    EXPECT_EQ(script.videoTimes.size(), 1u);
    EXPECT_TRUE(script.audioTimes.empty());
    EXPECT_EQ(writer->droppedVideoFrames(), 0);
    EXPECT_EQ(writer->droppedAudioBuffers(), 0);
    EXPECT_THROW(writer->finish(), RecorderError);
}

TEST(SegmentWriterSettings, FollowTheFrameRate) {
    const auto s30 = SegmentWriter::videoOutputSettings({1920, 1080, 30, 8'000'000});
    EXPECT_EQ(s30.maxKeyFrameInterval, 60);
    EXPECT_EQ(s30.maxKeyFrameIntervalDuration, 2.0);
    EXPECT_EQ(s30.averageBitRate, 8'000'000);
    EXPECT_FALSE(s30.allowFrameReordering);
    EXPECT_FALSE(s30.prioritizeSpeedOverQuality);
    const auto s60 = SegmentWriter::videoOutputSettings({1920, 1080, 60, 12'000'000});
    EXPECT_EQ(s60.maxKeyFrameInterval, 120);
    EXPECT_TRUE(s60.prioritizeSpeedOverQuality);
}

}  // namespace
}  // namespace brindlow
