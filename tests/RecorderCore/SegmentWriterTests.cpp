#include "SegmentWriter.h"

#include <gtest/gtest.h>

#include <chrono>

#include "RecorderError.h"
#include "Support/ExpectError.h"
#include "Support/SyntheticMedia.h"

namespace brindlow {
namespace {

using Status = SegmentEncoder::Status;

// An encoder that does what the test tells it: stall, refuse, fail.
class ScriptedEncoder : public SegmentEncoder {
public:
    struct Script {
        bool videoReady = true, audioReady = true, refuse = false, failAtFinish = false;
        bool broken = false;  // the session failed mid-take
        int startCalls = 0, cancelCalls = 0, finishCalls = 0;
        std::vector<MediaTime> videoTimes, audioTimes;
        bool videoMarked = false, audioMarked = false;
    };
    explicit ScriptedEncoder(Script& script) : s_(script) {}

    void startWriting() override { ++s_.startCalls; status_ = Status::writing; }
    bool isReadyForVideo() const override { return s_.videoReady; }
    bool isReadyForAudio() const override { return s_.audioReady; }
    bool appendVideo(const SampleBuffer& b) override { return take(s_.videoTimes, b); }
    bool appendAudio(const SampleBuffer& b) override { return take(s_.audioTimes, b); }
    void markVideoFinished() override { s_.videoMarked = true; }
    void markAudioFinished() override { s_.audioMarked = true; }
    void finishWriting() override { ++s_.finishCalls; status_ = s_.failAtFinish ? Status::failed : Status::completed; }
    void cancelWriting() override { ++s_.cancelCalls; status_ = Status::cancelled; }
    Status status() const override { return s_.broken ? Status::failed : status_; }
    std::exception_ptr error() const override { return nullptr; }

private:
    bool take(std::vector<MediaTime>& times, const SampleBuffer& b) {
        if (!s_.refuse) times.push_back(b.presentationTime());
        return !s_.refuse;
    }
    Script& s_;
    Status status_ = Status::unknown;
};

class SegmentWriterTest : public ::testing::Test {
protected:
    std::unique_ptr<SegmentWriter> makeWriter(bool withAudio) {
        return std::make_unique<SegmentWriter>(
            VideoSettings{64, 64, 30, 8'000'000}, withAudio ? std::optional(AudioSettings{}) : std::nullopt,
            [](StreamSegment) {},
            [this](const VideoOutputSettings&, const std::optional<AudioSettings>&, SegmentEncoder::OnSegment) {
                return std::make_unique<ScriptedEncoder>(script);
            });
    }
    static SampleBuffer frame(int i) { return testing::videoSample(VideoFrame::make(4, 4), MediaTime(i, 30), 30); }
    static SampleBuffer audio(int i) { return testing::sineSample(i * 480, 480, MediaTime(i, 100)); }

    ScriptedEncoder::Script script;
};

// Nothing starts the encoder before the first frame: audio until then is dropped uncounted,
// and finishing or cancelling touches no encoder.
TEST_F(SegmentWriterTest, NothingStartsBeforeTheFirstFrame) {
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled" : "finished");
        script = {};
        auto writer = makeWriter(true);
        writer->appendAudio(audio(0));
        if (cancel) {
            writer->cancel();
        } else {
            EXPECT_NO_THROW(writer->finish());
        }
        writer->appendVideo(frame(0));  // too late: ignored
        EXPECT_EQ(script.startCalls + script.finishCalls + script.cancelCalls, 0);
        EXPECT_EQ(writer->droppedAudioBuffers(), 0);
    }
    auto writer = makeWriter(true);
    writer->appendAudio(audio(0));
    writer->appendAudio(audio(1));
    writer->appendVideo(frame(0));
    writer->appendAudio(audio(2));
    EXPECT_EQ(script.startCalls, 1);
    EXPECT_EQ(script.audioTimes, std::vector{MediaTime(2, 100)});
    EXPECT_EQ(writer->droppedAudioBuffers(), 0);
}

// Eight frames or 32 audio buffers wait for a busy encoder; one more drops the oldest.
TEST_F(SegmentWriterTest, FullWaitingQueuesDropTheOldest) {
    auto writer = makeWriter(true);
    writer->appendVideo(frame(0));
    script.videoReady = script.audioReady = false;
    for (int i = 1; i <= 8; ++i) writer->appendVideo(frame(i));
    for (int i = 0; i < 32; ++i) writer->appendAudio(audio(i));
    EXPECT_EQ(writer->droppedVideoFrames() + writer->droppedAudioBuffers(), 0);
    writer->appendVideo(frame(9));
    writer->appendAudio(audio(32));
    EXPECT_EQ(writer->droppedVideoFrames(), 1);
    EXPECT_EQ(writer->droppedAudioBuffers(), 1);
    script.videoReady = true;
    writer->appendVideo(frame(10));
    ASSERT_EQ(script.videoTimes.size(), 10u);
    EXPECT_EQ(script.videoTimes[1], MediaTime(2, 30)) << "frame 1, the oldest waiting, is the one lost";
}

// Samples the encoder refuses are counted as dropped; those after it failed or was
// cancelled are not offered at all, and a failed session fails the finish.
TEST_F(SegmentWriterTest, RefusedSamplesCountButNoneAreOfferedAfterFailureOrCancel) {
    auto refusing = makeWriter(true);
    script.refuse = true;
    refusing->appendVideo(frame(0));
    refusing->appendAudio(audio(0));
    EXPECT_EQ(refusing->droppedVideoFrames(), 1);
    EXPECT_EQ(refusing->droppedAudioBuffers(), 1);
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled" : "failed");
        script = {};
        auto writer = makeWriter(true);
        writer->appendVideo(frame(0));
        if (cancel) writer->cancel();
        else script.broken = true;
        writer->appendVideo(frame(1));
        writer->appendAudio(audio(0));
        EXPECT_EQ(script.videoTimes.size(), 1u);
        EXPECT_TRUE(script.audioTimes.empty());
        EXPECT_EQ(writer->droppedVideoFrames() + writer->droppedAudioBuffers(), 0);
        EXPECT_EQ(script.cancelCalls, cancel ? 1 : 0);
        if (!cancel) testing::errorFrom<RecorderError>([&] { writer->finish(); });
    }
    auto withoutAudio = makeWriter(false);
    withoutAudio->appendVideo(frame(0));
    withoutAudio->appendAudio(audio(0));
    EXPECT_TRUE(script.audioTimes.empty());
    EXPECT_EQ(withoutAudio->droppedAudioBuffers(), 0);
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
    script.failAtFinish = true;
    auto failing = makeWriter(false);
    failing->appendVideo(frame(0));
    EXPECT_EQ(testing::errorFrom<RecorderError>([&] { failing->finish(); }), RecorderError::encoderUnavailable("writer failed"));
}

TEST_F(SegmentWriterTest, BacklogThatNeverEmptiesGivesUpAndStillFinishes) {
    auto writer = makeWriter(false);
    writer->appendVideo(frame(0));
    script.videoReady = false;
    for (int i = 1; i <= 5; ++i) writer->appendVideo(frame(i));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(writer->finish());
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1900)) << "gave up without waiting";
    EXPECT_EQ(script.finishCalls, 1);
    EXPECT_TRUE(script.videoMarked);
    EXPECT_FALSE(script.audioMarked);
}

TEST(SegmentWriterSettings, SixtyFramesASecondKeepTwoSecondKeyFramesAndFavourSpeed) {
    const auto s60 = SegmentWriter::videoOutputSettings({1920, 1080, 60, 12'000'000});
    EXPECT_EQ(s60.maxKeyFrameInterval, 120);
    EXPECT_TRUE(s60.prioritizeSpeedOverQuality);
    EXPECT_FALSE(SegmentWriter::videoOutputSettings({1920, 1080, 30, 8'000'000}).prioritizeSpeedOverQuality);
}

}  // namespace
}  // namespace brindlow
