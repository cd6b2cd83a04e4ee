#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <variant>
#include <vector>

#include "Support/MediaTime.h"

namespace brindlow {

// An NV12 picture: a full-size luma plane followed by an interleaved half-size
// chroma plane. Immutable once wrapped in a SampleBuffer.
struct VideoFrame {
    int width = 0;
    int height = 0;
    int strideY = 0;   // bytes per luma row
    int strideUV = 0;  // bytes per chroma row (width rounded up to even)
    std::vector<uint8_t> bytes;  // luma rows, then height/2 chroma rows

    // A frame with tightly packed planes (strides = width rounded up to even).
    static VideoFrame make(int width, int height);
    std::span<uint8_t> lumaPlane() { return {bytes.data(), size_t(strideY) * height}; }
    std::span<uint8_t> chromaPlane() {
        return {bytes.data() + size_t(strideY) * height, size_t(strideUV) * ((height + 1) / 2)};
    }
    std::span<const uint8_t> lumaPlane() const { return {bytes.data(), size_t(strideY) * height}; }
    std::span<const uint8_t> chromaPlane() const {
        return {bytes.data() + size_t(strideY) * height, size_t(strideUV) * ((height + 1) / 2)};
    }
};

// Float32 PCM, interleaved when there is more than one channel.
struct AudioSamples {
    int sampleRate = 0;
    int channels = 0;
    std::vector<float> samples;  // frameCount() * channels values
    int64_t frameCount() const { return channels > 0 ? int64_t(samples.size()) / channels : 0; }
};

struct SampleTiming {
    MediaTime duration;
    MediaTime presentation;
    MediaTime decode;
    bool operator==(const SampleTiming&) const = default;
};

// A media sample: a shared, immutable payload plus its timing entries. Copies and
// retimed copies share the payload; only the small timing list is duplicated.
class SampleBuffer {
public:
    using Payload = std::variant<VideoFrame, AudioSamples>;

    SampleBuffer(std::shared_ptr<const Payload> payload, std::vector<SampleTiming> timing)
        : payload_(std::move(payload)), timing_(std::move(timing)) {}
    static SampleBuffer video(VideoFrame frame, SampleTiming timing);
    static SampleBuffer audio(AudioSamples samples, SampleTiming timing);

    const std::vector<SampleTiming>& timing() const { return timing_; }
    // The first entry's presentation time; invalid when there is no entry.
    MediaTime presentationTime() const;
    MediaTime duration() const;

    const VideoFrame* videoFrame() const { return std::get_if<VideoFrame>(payload_.get()); }
    const AudioSamples* audioSamples() const { return std::get_if<AudioSamples>(payload_.get()); }
    const std::shared_ptr<const Payload>& payload() const { return payload_; }

    SampleBuffer withTiming(std::vector<SampleTiming> timing) const { return {payload_, std::move(timing)}; }

private:
    std::shared_ptr<const Payload> payload_;
    std::vector<SampleTiming> timing_;
};

}  // namespace brindlow
