#include "Support/Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace brindlow {
namespace {

// An XDG base directory: the variable when it holds an absolute path (relative ones
// are ignored, as the XDG rules say), else the fallback under the home folder.
std::filesystem::path baseDirectory(const char* variable, const char* fallback) {
    if (const char* value = std::getenv(variable); value && *value == '/') return std::filesystem::path(value);
    return homeDirectory() / fallback;
}

}  // namespace

std::filesystem::path homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home == '/') return home;
    // Without $HOME, the user's own entry: a shared folder such as /tmp may belong to anyone.
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/')
        return found->pw_dir;
    return "/";
}

std::filesystem::path userDataDirectory() {
    return baseDirectory("XDG_DATA_HOME", ".local/share") / "BrindlowRecorder";
}

std::filesystem::path userConfigDirectory() { return baseDirectory("XDG_CONFIG_HOME", ".config") / "BrindlowRecorder"; }

}  // namespace brindlow
