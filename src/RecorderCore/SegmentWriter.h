#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "Support/SampleBuffer.h"

namespace brindlow {

// One piece of encoder output: the ftyp+moov header, or one moof+mdat fragment.
struct StreamSegment {
    enum class Kind { initialization, media };
    Kind kind = Kind::media;
    std::vector<uint8_t> data;
};

struct VideoSettings {
    int64_t width = 0;
    int64_t height = 0;
    int64_t fps = 30;
    int64_t bitsPerSecond = 8'000'000;
    bool operator==(const VideoSettings&) const = default;
};

struct AudioSettings {
    double sampleRate = 48'000;
    int64_t channels = 1;
    bool operator==(const AudioSettings&) const = default;
};

// What the recorder asks of any H.264 encoder it drives.
struct VideoOutputSettings {
    int64_t width = 0;
    int64_t height = 0;
    bool requireHardwareEncoder = true;
    int64_t averageBitRate = 0;
    int64_t expectedSourceFrameRate = 0;
    int64_t maxKeyFrameInterval = 0;            // frames
    double maxKeyFrameIntervalDuration = 0;     // seconds
    bool allowFrameReordering = false;          // no B-frames
    bool profileHighAutoLevel = true;
    bool realTime = true;
    bool prioritizeSpeedOverQuality = false;
    bool operator==(const VideoOutputSettings&) const = default;
};

// Failure of an encoder session, with the encoder's own words.
class EncoderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The encoder session a SegmentWriter drives: fragmented MP4 out through `onSegment`
// (called on the encoder's own thread: one initialization segment, then media
// segments in timeline order). Calls other than onSegment come from the writer,
// serialised by it.
class SegmentEncoder {
public:
    enum class Status { unknown, writing, completed, failed, cancelled };
    using OnSegment = std::function<void(StreamSegment)>;

    virtual ~SegmentEncoder() = default;
    // Starts the session with its timeline at zero.
    virtual void startWriting() = 0;
    virtual bool isReadyForVideo() const = 0;
    virtual bool isReadyForAudio() const = 0;
    // False when the input refuses the sample.
    virtual bool appendVideo(const SampleBuffer& frame) = 0;
    virtual bool appendAudio(const SampleBuffer& buffer) = 0;
    virtual void markVideoFinished() = 0;
    virtual void markAudioFinished() = 0;
    // Blocks until the last segments were delivered and the session ended.
    virtual void finishWriting() = 0;
    virtual void cancelWriting() = 0;
    virtual Status status() const = 0;
    virtual std::exception_ptr error() const = 0;
};

// Builds an encoder for the settings; throws RecorderError::encoderUnavailable with
// "video input rejected" or "audio input rejected" when it cannot.
using SegmentEncoderFactory = std::function<std::unique_ptr<SegmentEncoder>(
    const VideoOutputSettings&, const std::optional<AudioSettings>&, SegmentEncoder::OnSegment)>;

// Feeds one video stream (and optionally the microphone) to an encoder and hands on
// every segment. Appends never wait for the encoder: small back-logs (8 video frames,
// 32 audio buffers) sit in front of it and drop their oldest under back-pressure.
// Any thread may call any member; one lock serialises them, never held during the
// 10 ms waits of finish() nor while segments are delivered.
class SegmentWriter {
public:
    static constexpr double segmentSeconds = 2.0;
    static constexpr size_t videoBacklogCap = 8;
    static constexpr size_t audioBacklogCap = 32;
    static constexpr int finishDrainPasses = 200;

    SegmentWriter(VideoSettings video, std::optional<AudioSettings> audio, SegmentEncoder::OnSegment onSegment,
                  const SegmentEncoderFactory& makeEncoder);
    SegmentWriter(const SegmentWriter&) = delete;
    SegmentWriter& operator=(const SegmentWriter&) = delete;

    static VideoOutputSettings videoOutputSettings(const VideoSettings& video);

    void appendVideo(const SampleBuffer& frame);
    void appendAudio(const SampleBuffer& buffer);
    // Drains, closes the inputs and ends the session; the last segments are delivered
    // before it returns. Throws the encoder's error when the session failed.
    void finish();
    void cancel();

    bool isReadyForVideo() const;
    std::exception_ptr error() const;
    int64_t droppedVideoFrames() const;
    int64_t droppedAudioBuffers() const;

private:
    using Append = bool (SegmentEncoder::*)(const SampleBuffer&);
    using Ready = bool (SegmentEncoder::*)() const;
    int64_t drain(std::deque<SampleBuffer>& pending, size_t cap, Ready ready, Append append);

    const bool hasAudio_;
    mutable std::mutex lock_;
    std::unique_ptr<SegmentEncoder> encoder_;
    bool started_ = false;             // guarded by lock_
    bool finished_ = false;            // guarded by lock_
    int64_t droppedVideoFrames_ = 0;   // guarded by lock_
    int64_t droppedAudioBuffers_ = 0;  // guarded by lock_
    std::deque<SampleBuffer> pendingVideo_;  // guarded by lock_
    std::deque<SampleBuffer> pendingAudio_;  // guarded by lock_
};

}  // namespace brindlow
