#include "StreamKey.h"

#include <nlohmann/json.hpp>

namespace brindlow {

std::string_view rawValue(StreamKey key) { return key == StreamKey::screen ? "screen" : "camera"; }

std::optional<StreamKey> streamKeyFromRaw(std::string_view raw) {
    if (raw == "screen") return StreamKey::screen;
    if (raw == "camera") return StreamKey::camera;
    return std::nullopt;
}

void to_json(nlohmann::json& j, StreamKey key) { j = std::string(rawValue(key)); }
void to_json(nlohmann::ordered_json& j, StreamKey key) { j = std::string(rawValue(key)); }

void from_json(const nlohmann::json& j, StreamKey& key) {
    const auto parsed = j.is_string() ? streamKeyFromRaw(j.get_ref<const std::string&>()) : std::nullopt;
    if (!parsed) throw nlohmann::json::other_error::create(501, "not a stream key: " + j.dump(), &j);
    key = *parsed;
}

}  // namespace brindlow
