#pragma once

#include <optional>
#include <string>
#include <vector>

namespace brindlow {

// The recorder names a camera by its stable V4L2 id; the preview's media framework
// names it by its device node. These find one from the other.

// The names a camera with `cameraId` may go by: the id itself and the device nodes its
// /dev/v4l links point to.
std::vector<std::string> cameraIdAliases(const std::string& cameraId);

struct PreviewDevice {
    std::string id;           // the framework's id, usually the device node
    std::string description;  // what it calls the camera
};

// The index of the preview device for a camera: one whose id is among `aliases`, else
// the only one described as `name`; nothing when neither settles it.
std::optional<size_t> matchPreviewDevice(const std::vector<std::string>& aliases, const std::string& name,
                                         const std::vector<PreviewDevice>& devices);

}  // namespace brindlow
