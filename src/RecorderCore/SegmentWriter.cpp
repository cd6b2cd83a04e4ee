#include "SegmentWriter.h"

#include <thread>

#include "RecorderError.h"

namespace brindlow {

SegmentWriter::SegmentWriter(VideoSettings video, std::optional<AudioSettings> audio,
                             SegmentEncoder::OnSegment onSegment, const SegmentEncoderFactory& makeEncoder)
    : hasAudio_(audio.has_value()),
      encoder_(makeEncoder(videoOutputSettings(video), audio, std::move(onSegment))) {
    if (!encoder_) throw RecorderError::encoderUnavailable("video input rejected");
}

VideoOutputSettings SegmentWriter::videoOutputSettings(const VideoSettings& video) {
    VideoOutputSettings s;
    s.width = video.width;
    s.height = video.height;
    s.requireHardwareEncoder = true;
    s.averageBitRate = video.bitsPerSecond;
    s.expectedSourceFrameRate = video.fps;
    s.maxKeyFrameInterval = video.fps * 2;
    s.maxKeyFrameIntervalDuration = 2.0;
    s.allowFrameReordering = false;
    s.profileHighAutoLevel = true;
    s.realTime = true;
    s.prioritizeSpeedOverQuality = video.fps > 30;
    return s;
}

int64_t SegmentWriter::drain(std::deque<SampleBuffer>& pending, size_t cap, Ready ready, Append append) {
    int64_t lost = 0;
    while (!pending.empty() && (encoder_.get()->*ready)()) {
        SampleBuffer next = std::move(pending.front());
        pending.pop_front();
        if (!(encoder_.get()->*append)(next)) ++lost;
    }
    while (pending.size() > cap) {
        pending.pop_front();
        ++lost;
    }
    return lost;
}

void SegmentWriter::appendVideo(const SampleBuffer& frame) {
    std::lock_guard guard(lock_);
    if (finished_) return;
    if (!started_) {
        started_ = true;
        encoder_->startWriting();
    }
    if (encoder_->status() != SegmentEncoder::Status::writing) return;
    pendingVideo_.push_back(frame);
    droppedVideoFrames_ += drain(pendingVideo_, videoBacklogCap, &SegmentEncoder::isReadyForVideo,
                                 &SegmentEncoder::appendVideo);
}

void SegmentWriter::appendAudio(const SampleBuffer& buffer) {
    std::lock_guard guard(lock_);
    if (finished_ || !started_ || !hasAudio_ || encoder_->status() != SegmentEncoder::Status::writing) return;
    pendingAudio_.push_back(buffer);
    droppedAudioBuffers_ += drain(pendingAudio_, audioBacklogCap, &SegmentEncoder::isReadyForAudio,
                                  &SegmentEncoder::appendAudio);
}

void SegmentWriter::finish() {
    {
        std::lock_guard guard(lock_);
        finished_ = true;
        if (!started_) return;
    }
    for (int pass = 0; pass < finishDrainPasses; ++pass) {
        {
            std::lock_guard guard(lock_);
            droppedVideoFrames_ += drain(pendingVideo_, videoBacklogCap, &SegmentEncoder::isReadyForVideo,
                                         &SegmentEncoder::appendVideo);
            if (hasAudio_) {
                droppedAudioBuffers_ += drain(pendingAudio_, audioBacklogCap, &SegmentEncoder::isReadyForAudio,
                                              &SegmentEncoder::appendAudio);
            }
            if (pendingVideo_.empty() && pendingAudio_.empty()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    SegmentEncoder* encoder;
    {
        std::lock_guard guard(lock_);
        encoder_->markVideoFinished();
        if (hasAudio_) encoder_->markAudioFinished();
        encoder = encoder_.get();
    }
    // Not under the lock: the encoder delivers its last segments meanwhile, and
    // readers of the counters must not wait for it.
    encoder->finishWriting();
    if (encoder->status() == SegmentEncoder::Status::failed) {
        if (auto e = encoder->error()) std::rethrow_exception(e);
        throw RecorderError::encoderUnavailable("writer failed");
    }
}

void SegmentWriter::cancel() {
    std::lock_guard guard(lock_);
    finished_ = true;
    if (started_) encoder_->cancelWriting();
}

bool SegmentWriter::isReadyForVideo() const {
    std::lock_guard guard(lock_);
    return !started_ || encoder_->isReadyForVideo();
}

std::exception_ptr SegmentWriter::error() const {
    std::lock_guard guard(lock_);
    return encoder_->error();
}

int64_t SegmentWriter::droppedVideoFrames() const {
    std::lock_guard guard(lock_);
    return droppedVideoFrames_;
}

int64_t SegmentWriter::droppedAudioBuffers() const {
    std::lock_guard guard(lock_);
    return droppedAudioBuffers_;
}

}  // namespace brindlow
