#include "CameraFrameRate.h"

#include <cmath>
#include <limits>

#include "Support/Text.h"

namespace brindlow {

std::optional<MediaTime> CameraFrameRate::duration(std::span<const Range> ranges, int64_t fps) {
    if (fps < 1 || fps > std::numeric_limits<int32_t>::max()) return std::nullopt;
    const MediaTime target(1, static_cast<int32_t>(fps));
    std::optional<MediaTime> best;
    double bestDistance = 0;
    for (const Range& r : ranges) {
        if (!r.minimumDuration.isValid() || !r.maximumDuration.isValid()) continue;
        if (!(r.minimumDuration > MediaTime::zero()) || r.maximumDuration < r.minimumDuration) continue;
        MediaTime d = target;
        if (target < r.minimumDuration) d = r.minimumDuration;
        else if (target > r.maximumDuration) d = r.maximumDuration;
        const double distance = std::abs(1.0 / d.seconds() - double(fps));
        if (distance > 0.5) continue;
        if (!best || distance < bestDistance) {
            best = d;
            bestDistance = distance;
        }
    }
    return best;
}

std::string DeviceLabel::shortName(const std::optional<std::string>& name, const std::string& fallback) {
    if (!name || trimWhitespace(*name).empty()) return fallback;
    if (characterCount(*name) <= maxLength) return *name;
    return characterPrefix(*name, maxLength - 1) + "\u2026";
}

std::string DeviceLabel::screen(const std::optional<std::string>& name, bool on) {
    return on ? shortName(name, "Screen") : "No screen";
}

std::string DeviceLabel::camera(const std::optional<std::string>& name, bool on) {
    return on ? shortName(name, "Camera") : "No camera";
}

std::string DeviceLabel::microphone(const std::optional<std::string>& name, bool on) {
    return on ? shortName(name, "Microphone") : "No mic";
}

}  // namespace brindlow
