#pragma once

#include <filesystem>

namespace brindlow {

// Makes `directory` a real folder (not a link) of this user that nobody else may
// enter, creating it (and any missing parent, with the usual mode) when it is not
// there and tightening its mode when it is too open. Throws std::runtime_error when
// it belongs to someone else or is not a folder.
void makePrivateDirectory(const std::filesystem::path& directory);

// Opens `path` for writing as a file only this user may read (0600), never through a
// symbolic link and never inherited by a child process; created when missing.
// `flags` adds O_TRUNC or O_APPEND. Returns the descriptor; throws std::system_error.
int openPrivateFile(const std::filesystem::path& path, int flags);

}  // namespace brindlow
