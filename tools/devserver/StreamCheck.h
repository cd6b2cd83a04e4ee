#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace brindlow::devserver {

// What arrived for one stream of a recording.
struct StreamUpload {
    std::string stream;
    std::filesystem::path directory;  // init.mp4, <n>.mp4, manifest.json
    std::vector<int64_t> rangeNotices;  // n of every range notice, in arrival order
    bool finalNotice = false;
    std::optional<nlohmann::json> index;  // the last index notice's document
};

// Checks that a stream arrived whole: the manifest, ranges 0..n-1 and nothing else,
// sizes adding up, the init segment heading range 0, one notice per range, the final
// notice, and every index entry pointing at a moof box. Returns
// {"stream", "ok", "ranges", "bytes", "problems": [...]}.
nlohmann::json checkStream(const StreamUpload& upload);

}  // namespace brindlow::devserver
