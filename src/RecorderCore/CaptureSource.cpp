#include "CaptureSource.h"

#include <algorithm>
#include <cmath>

namespace brindlow {
namespace {

__extension__ using Wide = __int128;

int64_t evenAtLeastTwo(int64_t v) { return std::max<int64_t>(2, v / 2 * 2); }

}  // namespace

CaptureSize CaptureSize::fittedToEncoder() const {
    // 128 bits: a product that would overflow is simply "too large".
    const Wide area = static_cast<Wide>(width) * height;
    if (area <= maxEncodeArea) return {evenAtLeastTwo(width), evenAtLeastTwo(height)};
    const double scale = std::sqrt(double(maxEncodeArea) / double(area));
    return {evenAtLeastTwo(static_cast<int64_t>(scale * double(width))),
            evenAtLeastTwo(static_cast<int64_t>(scale * double(height)))};
}

}  // namespace brindlow
