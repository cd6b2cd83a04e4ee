#include "Capture/FrameConverter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>

namespace brindlow {
namespace {

TEST(FrameConverter, ChangedAreasConvertToTheSameBytesAsTheWholePicture) {
    std::mt19937 random(7);
    for (const auto& [width, height] : {std::pair{64, 48}, {333, 101}, {1920, 1080}}) {
        const FrameConverter converter(FrameConverter::Input::bgr0, width, height, width & ~1, height & ~1);
        ASSERT_TRUE(converter.convertsAreas());
        std::vector<uint8_t> screen(size_t(width) * height * 4);
        for (auto& v : screen) v = uint8_t(random());
        VideoFrame kept = converter.convert(screen.data(), width * 4);
        for (int round = 0; round < 20; ++round) {
            std::uniform_int_distribution<int> xs(0, width - 1), ys(0, height - 1);
            const int x = xs(random), y = ys(random);
            const PictureArea changed{x, y, std::uniform_int_distribution<int>(1, width - x)(random),
                                      std::uniform_int_distribution<int>(1, height - y)(random)};
            for (int row = changed.y; row < changed.y + changed.height; ++row)
                for (int i = changed.x * 4; i < (changed.x + changed.width) * 4; ++i)
                    screen[size_t(row) * width * 4 + i] = uint8_t(random());
            const PictureArea part = changed.alignedToBlocks(converter.outWidth(), converter.outHeight());
            converter.convertArea(&screen[(size_t(part.y) * width + part.x) * 4], width * 4, part, kept);
            ASSERT_EQ(kept.bytes, converter.convert(screen.data(), width * 4).bytes)
                << width << "x" << height << " round " << round;
        }
    }
}

TEST(FrameConverter, DirectPathsAgreeWithLibswscale) {
    // Gradients, where filters that differ only at sharp edges agree.
    const int width = 640, height = 360;
    std::vector<uint8_t> screen(size_t(width) * height * 4), yuyv(size_t(width) * height * 2);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t *p = &screen[(size_t(y) * width + x) * 4], *q = &yuyv[(size_t(y) * width + x) * 2];
            p[0] = uint8_t(x * 255 / width), p[1] = uint8_t(y * 255 / height);
            p[2] = uint8_t((x + y) * 255 / (width + height));
            q[0] = uint8_t(16 + x * 219 / width);  // Y, then U for an even pixel, V for an odd one
            q[1] = uint8_t(x % 2 ? 240 - (x - 1) * 224 / width : 16 + y * 224 / height);
        }
    // A fitted screen is scaled by another filter, whose sample positions differ by a
    // fraction of a pixel: on these gradients, up to three levels.
    const struct {
        FrameConverter::Input input;
        const uint8_t* pixels;
        int stride, outWidth, outHeight, tolerance;
    } cases[] = {{FrameConverter::Input::bgr0, screen.data(), width * 4, width, height, 1},
                 {FrameConverter::Input::yuyv, yuyv.data(), width * 2, width, height, 1},
                 {FrameConverter::Input::bgr0, screen.data(), width * 4, 512, 288, 3}};
    for (const auto& c : cases) {
        const FrameConverter direct(c.input, width, height, c.outWidth, c.outHeight),
            general(c.input, width, height, c.outWidth, c.outHeight, 1, FrameConverter::Method::swscale);
        const VideoFrame a = direct.convert(c.pixels, c.stride), b = general.convert(c.pixels, c.stride);
        int largest = 0;
        for (size_t i = 0; i < a.bytes.size(); ++i) largest = std::max(largest, std::abs(int(a.bytes[i]) - int(b.bytes[i])));
        EXPECT_LE(largest, c.tolerance) << int(c.input) << " to " << c.outWidth;
    }
}

}  // namespace
}  // namespace brindlow
