#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "SegmentWriter.h"

namespace brindlow {

// H.264 (VAAPI when a render node takes the settings, else libx264) and AAC-LC into
// fragmented MP4 with libavformat's mp4 muxer, through a custom write callback.
// Video is encoded on the encoder's own thread behind a small bounded input queue, so
// appends never wait for it; "ready for more video" means that queue has room. Sound
// costs a fraction of a picture and may never be dropped for being late, so it never
// queues behind pictures: it is encoded as it is appended, on the caller's thread, and
// its packets wait for the fragment they belong to. Segments are delivered on the
// encoder thread: the header first, then one moof+mdat per 2-second stretch of the
// timeline, each starting with a key frame. At the end the sound is carried on in
// silence to the last picture, so a source that fell quiet leaves no short track.
class FFmpegSegmentEncoder final : public SegmentEncoder {
public:
    struct Options {
        bool allowHardware = true;
        std::optional<std::string> x264Preset;  // overrides the choice by pixel rate
        size_t videoQueueCapacity = 4;           // frames waiting for the encoder thread
        bool logEncoderChoice = true;            // one line on stderr naming the encoder
    };

    static SegmentEncoderFactory factory(Options options);
    static SegmentEncoderFactory factory() { return factory(Options{}); }
    // The x264 preset that keeps up in real time on two cores for these settings.
    static std::string presetFor(const VideoOutputSettings& settings);

    FFmpegSegmentEncoder(const VideoOutputSettings& video, const std::optional<AudioSettings>& audio,
                         OnSegment onSegment, Options options);
    ~FFmpegSegmentEncoder() override;
    FFmpegSegmentEncoder(const FFmpegSegmentEncoder&) = delete;
    FFmpegSegmentEncoder& operator=(const FFmpegSegmentEncoder&) = delete;

    // "libx264 (veryfast)" or "h264_vaapi".
    const std::string& encoderDescription() const;

    void startWriting() override;
    bool isReadyForVideo() const override;
    bool isReadyForAudio() const override;
    bool appendVideo(const SampleBuffer& frame) override;
    bool appendAudio(const SampleBuffer& buffer) override;
    void markVideoFinished() override;
    void markAudioFinished() override;
    void finishWriting() override;
    void cancelWriting() override;
    Status status() const override;
    std::exception_ptr error() const override;

private:
    struct Pipeline;  // libav state: video and muxer on the encoder thread, sound under its own lock

    void run();
    void fail(std::exception_ptr error);

    std::unique_ptr<Pipeline> pipeline_;
    const Options options_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<SampleBuffer> queue_;    // guarded by mutex_: pictures for the encoder thread
    bool finishRequested_ = false;      // guarded by mutex_
    bool cancelled_ = false;            // guarded by mutex_
    Status status_ = Status::unknown;   // guarded by mutex_
    std::exception_ptr error_;          // guarded by mutex_
    std::thread thread_;                // started by startWriting, joined by finish/cancel/destructor
};

}  // namespace brindlow
