#pragma once

#include <cstdint>

namespace brindlow {

// BGR0 (full-range RGB) to NV12 with BT.709 video-range colour, over whole 2x2
// blocks: `width` and `height` are even. Chroma is the mean of each block, so any
// block-aligned part of a picture converts to exactly the bytes the whole would.
void bgr0ToNV12(const uint8_t* src, int srcStride, int width, int height, uint8_t* y, int yStride, uint8_t* uv,
                int uvStride);

}  // namespace brindlow
