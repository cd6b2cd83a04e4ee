#pragma once

#include <string>
#include <vector>

namespace brindlow {

// Starts `argv` (argv[0] is a path, not looked up in PATH) with exactly `environment`
// ("NAME=value" entries) in a session of its own, not a child of this process, so
// that it outlives it and never becomes a zombie here. Standard input is /dev/null.
// True once the program has been executed; false when it could not be.
bool startDetached(const std::vector<std::string>& argv, const std::vector<std::string>& environment);

// This process's environment.
std::vector<std::string> currentEnvironment();

// `environment` without what the AppImage runtime set for the running image:
// its own variables (APPIMAGE, APPDIR, ARGV0, OWD) and every search-path entry
// inside its mount, which disappears when this process quits.
std::vector<std::string> environmentWithoutAppImage(const std::vector<std::string>& environment);

}  // namespace brindlow
