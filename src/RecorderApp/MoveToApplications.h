#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Trash.h"

namespace brindlow {

// The rules for offering to copy a running AppImage into the user's Applications
// folder, and the copy itself. Everything but `install` is pure; `install` only
// touches the two folders and the trash it is given.
namespace MoveToApplications {

// `home`/Applications: where AppImage launchers look for installed applications.
std::filesystem::path destinationFolder(const std::filesystem::path& home);

// The settings key holding the standardised path the user last answered "Not now" for.
inline constexpr std::string_view declinedKey = "moveToApplicationsDeclinedPath";

// `path` made absolute-looking without touching the disk: a leading "~" becomes
// `home`, "." and ".." are resolved, repeated and trailing separators are dropped.
std::string standardizedPath(std::string_view path, std::string_view home);

// True when the AppImage at `appPath` lives outside `home`/Applications and the
// user has not declined the offer for this very path.
bool shouldOffer(std::string_view appPath, const std::optional<std::string>& declinedPath, std::string_view home);

// Where the app really lies. Nothing on Linux hides it behind another path.
std::filesystem::path originalPath(const std::filesystem::path& app);

// The mounted removable volume holding `app` (/media/<user>/<volume> or
// /run/media/<user>/<volume>), so that it can be unmounted once the installed
// copy runs; nothing for any other location.
std::optional<std::filesystem::path> removableVolume(const std::filesystem::path& app);

// Copies `from` into `into` through a hidden staging copy, moves an existing copy
// of the same name to `trash` and renames the staging copy into place; answers the
// installed path. `progress`, when given, hears the fraction copied (0 to 1) as the
// copy goes. Throws std::system_error with a readable message; a failure leaves no
// staging copy behind and the previous copy either in place or in the trash.
std::filesystem::path install(const std::filesystem::path& from, const std::filesystem::path& into,
                              const Trash& trash, const std::function<void(double)>& progress = {});

}  // namespace MoveToApplications
}  // namespace brindlow
