#include "CameraDeviceMatch.h"

#include <filesystem>

namespace brindlow {

std::vector<std::string> cameraIdAliases(const std::string& cameraId) {
    std::vector<std::string> aliases;
    if (cameraId.empty()) return aliases;
    aliases.push_back(cameraId);
    // An id with a slash is no link name; looking it up could escape /dev/v4l.
    if (cameraId.find('/') != std::string::npos) return aliases;
    for (const char* folder : {"/dev/v4l/by-id/", "/dev/v4l/by-path/"}) {
        std::error_code ec;
        const auto node = std::filesystem::canonical(std::filesystem::path(folder) / cameraId, ec);
        if (!ec) aliases.push_back(node.string());
    }
    return aliases;
}

std::optional<size_t> matchPreviewDevice(const std::vector<std::string>& aliases, const std::string& name,
                                         const std::vector<PreviewDevice>& devices) {
    for (size_t i = 0; i < devices.size(); ++i)
        for (const auto& alias : aliases)
            if (!alias.empty() && devices[i].id == alias) return i;
    std::optional<size_t> byName;
    for (size_t i = 0; i < devices.size(); ++i) {
        if (name.empty() || devices[i].description != name) continue;
        // Two cameras of one model: guessing could show the wrong person.
        if (byName) return std::nullopt;
        byName = i;
    }
    return byName;
}

}  // namespace brindlow
