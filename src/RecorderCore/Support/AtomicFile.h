#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace brindlow {

// Replaces `path` with `contents` so that a reader sees either the old or the new
// file, never a torn one: a temporary file in the same directory is written,
// synced, given `mode` and renamed over the target. Throws std::system_error.
void writeFileAtomically(const std::filesystem::path& path, std::string_view contents, mode_t mode = 0644);

// The whole file, or nothing when it cannot be read.
std::optional<std::string> readFile(const std::filesystem::path& path);

}  // namespace brindlow
