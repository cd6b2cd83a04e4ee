#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "Support/SampleBuffer.h"

struct SwsContext;

namespace brindlow {

// Converts captured pictures to the encoder's NV12 at a fixed output size, with
// BT.709 video-range colour. One converter serves one input size and format; it is
// used from one thread at a time.
class FrameConverter {
public:
    enum class Input { bgr0, yuyv, yuv420p, yuvj420p, yuv422p, yuvj422p };

    FrameConverter(Input input, int width, int height, int outWidth, int outHeight, int threads = 1);
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // Packed formats use the first plane; planar ones the first three.
    VideoFrame convert(const std::array<const uint8_t*, 4>& planes, const std::array<int, 4>& strides) const;
    VideoFrame convert(const uint8_t* packed, int stride) const {
        return convert({packed, nullptr, nullptr, nullptr}, {stride, 0, 0, 0});
    }

    int outWidth() const { return outWidth_; }
    int outHeight() const { return outHeight_; }

private:
    SwsContext* context_ = nullptr;
    int height_;
    int outWidth_, outHeight_;
};

}  // namespace brindlow
