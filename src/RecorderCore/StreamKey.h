#pragma once

#include <array>
#include <optional>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace brindlow {

// The two video streams of a take; the raw values appear on the wire, in spool
// paths and in telemetry.
enum class StreamKey { screen, camera };

inline constexpr std::array<StreamKey, 2> kAllStreamKeys{StreamKey::screen, StreamKey::camera};

std::string_view rawValue(StreamKey key);
// Only the exact raw values make a key.
std::optional<StreamKey> streamKeyFromRaw(std::string_view raw);

void to_json(nlohmann::json& j, StreamKey key);
void to_json(nlohmann::ordered_json& j, StreamKey key);
// Throws nlohmann::json::exception for anything but "screen" or "camera".
void from_json(const nlohmann::json& j, StreamKey& key);

}  // namespace brindlow
