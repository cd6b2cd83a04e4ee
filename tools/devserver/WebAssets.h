#pragma once

#include <optional>
#include <string_view>

namespace brindlow::devserver {

// A file of web/, built into the binary.
struct WebAsset {
    std::string_view name;  // its path below web/, e.g. "view.js"
    std::string_view type;  // its Content-Type
    std::string_view bytes;
};

std::optional<WebAsset> findWebAsset(std::string_view name);

}  // namespace brindlow::devserver
