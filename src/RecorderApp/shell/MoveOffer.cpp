#include "MoveOffer.h"

#include <cstdlib>
#include <exception>
#include <thread>

#include "DetachedProcess.h"
#include "MoveToApplications.h"

namespace brindlow {
namespace fs = std::filesystem;

MoveOffer::Location MoveOffer::Location::current() {
    Location location;
    if (const char* image = std::getenv("APPIMAGE"); image && *image) location.appImage = fs::path(image);
    if (const char* home = std::getenv("HOME"); home && *home) location.home = fs::path(home);
    return location;
}

MoveOffer::MoveOffer(MoveOfferAlerts& alerts, SettingsStore& settings, Install install, Relaunch relaunch,
                     RunDetached runDetached)
    : alerts_(alerts),
      settings_(settings),
      install_(std::move(install)),
      relaunch_(std::move(relaunch)),
      runDetached_(std::move(runDetached)) {}

MoveOffer::Install MoveOffer::installReplacingThrough(Trash trash) {
    return [trash = std::move(trash)](const fs::path& image, const fs::path& folder,
                                      const std::function<void(double)>& progress) {
        return MoveToApplications::install(image, folder, trash, progress);
    };
}

MoveOffer::Relaunch MoveOffer::startInstalledCopy() {
    return [](const fs::path& installed) {
        return startDetached({installed.string()}, environmentWithoutAppImage(currentEnvironment()));
    };
}

MoveOffer::RunDetached MoveOffer::startCommand() {
    return [](const std::vector<std::string>& argv) { return startDetached(argv, currentEnvironment()); };
}

std::vector<std::string> MoveOffer::unmountCommand(const fs::path& volume) {
    // udisks lets the desktop user unmount what the desktop mounted; umount is the
    // fallback for a mount made some other way.
    return {"/bin/sh", "-c",
            "sleep 2; udisksctl unmount --no-user-interaction -b \"$(findmnt -n -o SOURCE --mountpoint \"$0\")\" "
            ">/dev/null 2>&1 || umount \"$0\" >/dev/null 2>&1",
            volume.string()};
}

bool MoveOffer::offerMoveToApplications(const Location& location) {
    if (!location.appImage || location.home.empty()) return false;
    const fs::path& image = *location.appImage;
    const fs::path original = MoveToApplications::originalPath(image);
    const std::string home = location.home.string();
    if (!MoveToApplications::shouldOffer(original.string(), settings_.string(MoveToApplications::declinedKey), home)) {
        return false;
    }

    const size_t answer = alerts_.ask(
        "Move Brindlow to Applications?",
        "Brindlow works best from your Applications folder. It will reopen from there, still signed in.",
        {"Move to Applications", "Not now"});
    if (answer != 0) {
        try {
            settings_.setString(std::string(MoveToApplications::declinedKey),
                                MoveToApplications::standardizedPath(original.string(), home));
        } catch (const std::exception&) {
            // Unsaved, the offer simply comes again at the next launch.
        }
        return false;
    }

    fs::path installed;
    std::optional<std::string> failure;
    MoveOfferAlerts::Progress progress;
    std::thread copier([&] {
        try {
            installed = install_(image, MoveToApplications::destinationFolder(location.home),
                                 [&progress](double fraction) { progress.fraction = fraction; });
        } catch (const std::exception& error) {
            failure = error.what();
        }
        progress.done = true;
    });
    alerts_.showProgress("Moving Brindlow to Applications\u2026", progress);
    copier.join();
    if (failure) {
        alerts_.inform("Couldn't move Brindlow to Applications",
                       "Drag Brindlow into your Applications folder yourself. (" + *failure + ")");
        return false;
    }
    if (!relaunch_(installed)) return false;
    if (const auto volume = MoveToApplications::removableVolume(original)) runDetached_(unmountCommand(*volume));
    return true;
}

}  // namespace brindlow
