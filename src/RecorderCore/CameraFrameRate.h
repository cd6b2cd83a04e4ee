#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "Support/MediaTime.h"

namespace brindlow {

namespace CameraFrameRate {

// A supported span of frame durations: minimumDuration is the highest rate.
struct Range {
    MediaTime minimumDuration;
    MediaTime maximumDuration;
};

// The frame duration within `ranges` closest to 1/fps, if one comes within half a
// frame per second of it; the earlier range wins a tie.
std::optional<MediaTime> duration(std::span<const Range> ranges, int64_t fps);

}  // namespace CameraFrameRate

// Short device names for the picker buttons.
namespace DeviceLabel {

inline constexpr size_t maxLength = 14;  // characters

std::string shortName(const std::optional<std::string>& name, const std::string& fallback);
std::string screen(const std::optional<std::string>& name, bool on);
std::string camera(const std::optional<std::string>& name, bool on);
std::string microphone(const std::optional<std::string>& name, bool on);

}  // namespace DeviceLabel

}  // namespace brindlow
