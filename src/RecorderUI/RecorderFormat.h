#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "CaptureSource.h"

namespace brindlow::RecorderFormat {

// Recorded time as the elapsed pill shows it: "m:ss" below an hour, "h:mm:ss" from
// then on; fractions are cut off, never rounded up.
std::string clock(double seconds);

// A byte count as file sizes are shown: decimal units, "512 bytes", "12 KB",
// "70.2 MB", "1.25 GB".
std::string byteCount(int64_t bytes);

// The backlog above which the panel warns that the upload is behind (64 MiB).
inline constexpr int64_t backlogNoticeBytes = 67'108'864;
// The warning for `backlogBytes`, or nothing while the upload keeps up.
std::optional<std::string> backlogNotice(int64_t backlogBytes);

// A display as the screen picker lists it: its name and the size it is recorded at
// (only the name while the size is unknown).
std::string displayEntry(const std::string& name, CaptureSize pixels);

}  // namespace brindlow::RecorderFormat
