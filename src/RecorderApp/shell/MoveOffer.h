#pragma once

#include <atomic>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Settings.h"
#include "Trash.h"

namespace brindlow {

// Modal questions and notices shown before the recorder window exists.
class MoveOfferAlerts {
public:
    virtual ~MoveOfferAlerts() = default;
    // Brings the app to the front, asks, and answers the index of the chosen button;
    // closing the alert any other way answers an index past the last button.
    virtual size_t ask(const std::string& message, const std::string& informativeText,
                       const std::vector<std::string>& buttons) = 0;
    virtual void inform(const std::string& message, const std::string& informativeText) = 0;

    // How far a long step running on another thread has come.
    struct Progress {
        std::atomic<double> fraction{0};  // 0 to 1
        std::atomic<bool> done{false};
    };
    // Shows `message` with a progress line that follows `progress`, keeping the app
    // responsive (and its hang watchdog fed), and returns once `progress` is done.
    virtual void showProgress(const std::string& message, const Progress& progress) = 0;
};

// The launch-time offer to install the running AppImage into ~/Applications and to
// continue from there. Runs on the main thread before the window is shown, and
// before anything that would make the relaunched copy find this process running
// (such as a single-instance server).
class MoveOffer {
public:
    // Where the running app lies: the AppImage runtime names its image in APPIMAGE;
    // a build tree or an installed package has none and is never offered.
    struct Location {
        std::optional<std::filesystem::path> appImage;
        std::filesystem::path home;

        static Location current();
    };
    // Copies the image into the folder, telling the fraction copied as it goes, and
    // answers the installed path; throws std::exception with a readable message. Runs
    // on a thread of its own: a copy from a slow stick takes a while.
    using Install = std::function<std::filesystem::path(
        const std::filesystem::path& image, const std::filesystem::path& folder,
        const std::function<void(double)>& progress)>;
    // Starts the installed copy as a new, independent process; false when it could not start.
    using Relaunch = std::function<bool(const std::filesystem::path& installed)>;
    // Starts a command that outlives this process; its failure is of no consequence.
    using RunDetached = std::function<bool(const std::vector<std::string>& argv)>;

    MoveOffer(MoveOfferAlerts& alerts, SettingsStore& settings, Install install, Relaunch relaunch,
              RunDetached runDetached);
    // The real roles: the install replacing an older copy through `trash`, the
    // installed copy started without this image's environment, commands run as they are.
    static Install installReplacingThrough(Trash trash);
    static Relaunch startInstalledCopy();
    static RunDetached startCommand();

    // True only when the installed copy has been started: the caller then quits
    // instead of showing its window.
    bool offerMoveToApplications(const Location& location);

    // Unmounts `volume` a moment after this process has let go of it. The volume is
    // the script's $0, never part of the script text.
    static std::vector<std::string> unmountCommand(const std::filesystem::path& volume);

private:
    MoveOfferAlerts& alerts_;
    SettingsStore& settings_;
    Install install_;
    Relaunch relaunch_;
    RunDetached runDetached_;
};

}  // namespace brindlow
