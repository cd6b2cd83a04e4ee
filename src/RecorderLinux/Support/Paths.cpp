#include "Support/Paths.h"

#include <cstdlib>

namespace brindlow {
namespace {

// An XDG base directory: the variable when it holds an absolute path (relative ones
// are ignored, as the XDG rules say), else the fallback under $HOME.
std::filesystem::path baseDirectory(const char* variable, const char* fallback) {
    if (const char* value = std::getenv(variable); value && *value == '/') return std::filesystem::path(value);
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/tmp") / fallback;
}

}  // namespace

std::filesystem::path userDataDirectory() {
    return baseDirectory("XDG_DATA_HOME", ".local/share") / "BrindlowRecorder";
}

std::filesystem::path userConfigDirectory() { return baseDirectory("XDG_CONFIG_HOME", ".config") / "BrindlowRecorder"; }

}  // namespace brindlow
