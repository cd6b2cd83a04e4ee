#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "Support/SampleBuffer.h"

struct SwsContext;

namespace brindlow {

// A rectangle of a picture, in pixels.
struct PictureArea {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const PictureArea&) const = default;
    int64_t pixels() const { return int64_t(width) * height; }
    // Grown to whole 2x2 chroma blocks and clipped to a picture of even sides.
    PictureArea alignedToBlocks(int pictureWidth, int pictureHeight) const;
};

// Converts captured pictures to the encoder's NV12 at a fixed output size, with
// BT.709 video-range colour. One converter serves one input size and format; it is
// used from one thread at a time. Screen pictures of the output's size (an odd last
// row or column is dropped) and YUYV of the output's size take direct paths that are
// several times faster than libswscale, and a screen fitted to a smaller size is
// scaled by libyuv first (a third faster); everything else goes through libswscale.
class FrameConverter {
public:
    enum class Input { bgr0, yuyv, yuv420p, yuvj420p, yuv422p, yuvj422p };
    // `swscale` forces the general path, to compare the two.
    enum class Method { fastest, swscale };

    FrameConverter(Input input, int width, int height, int outWidth, int outHeight, int threads = 1,
                   Method method = Method::fastest);
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // Packed formats use the first plane; planar ones the first three.
    VideoFrame convert(const std::array<const uint8_t*, 4>& planes, const std::array<int, 4>& strides) const;
    VideoFrame convert(const uint8_t* packed, int stride) const {
        return convert({packed, nullptr, nullptr, nullptr}, {stride, 0, 0, 0});
    }

    // Whether convertArea() may be used: screen pictures that are not scaled.
    bool convertsAreas() const { return direct_ == Direct::bgr0; }
    // Converts `area` (block-aligned, inside the output) into the same place of `into`;
    // `pixels` points at the area's first pixel, rows `stride` bytes apart.
    void convertArea(const uint8_t* pixels, int stride, const PictureArea& area, VideoFrame& into) const;

    int outWidth() const { return outWidth_; }
    int outHeight() const { return outHeight_; }

private:
    enum class Direct { none, bgr0, yuyv, scaledBGR0 };

    Direct direct_ = Direct::none;
    int width_;
    mutable std::vector<uint8_t> scaled_;  // scaledBGR0: the picture at the output's size
    SwsContext* context_ = nullptr;
    int height_;
    int outWidth_, outHeight_;
};

}  // namespace brindlow
