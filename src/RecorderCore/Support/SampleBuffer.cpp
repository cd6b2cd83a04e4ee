#include "Support/SampleBuffer.h"

namespace brindlow {

VideoFrame VideoFrame::make(int width, int height) {
    VideoFrame frame;
    frame.width = width;
    frame.height = height;
    frame.strideY = width;
    frame.strideUV = (width + 1) / 2 * 2;
    frame.bytes.resize(size_t(frame.strideY) * height + size_t(frame.strideUV) * ((height + 1) / 2));
    return frame;
}

SampleBuffer SampleBuffer::video(VideoFrame frame, SampleTiming timing) {
    return {std::make_shared<const Payload>(std::move(frame)), {timing}};
}

SampleBuffer SampleBuffer::audio(AudioSamples samples, SampleTiming timing) {
    return {std::make_shared<const Payload>(std::move(samples)), {timing}};
}

MediaTime SampleBuffer::presentationTime() const {
    return timing_.empty() ? MediaTime::invalid() : timing_.front().presentation;
}

MediaTime SampleBuffer::duration() const {
    return timing_.empty() ? MediaTime::invalid() : timing_.front().duration;
}

}  // namespace brindlow
