#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Capture/CameraSource.h"
#include "Capture/MicrophoneSource.h"
#include "Capture/PortalScreenSource.h"
#include "RecorderPlatform.h"
#include "Settings.h"

namespace brindlow {

// The recorder on a Linux desktop: X11 displays (RandR), V4L2 cameras, PulseAudio
// microphones, AT-SPI for accessibility, xdg-open for addresses and GNOME's privacy
// settings where they exist. Screen capture is "allowed" when the X display opens and
// RandR answers; a camera is allowed when its node opens for reading and writing.
//
// On a Wayland desktop the screen comes through the desktop's ScreenCast portal
// instead: one display, "Screen", whose monitor the desktop's own dialog picks.
class LinuxPlatform : public RecorderPlatform {
public:
    enum class CaptureRoute { x11, portal };
    // Settings keys: the route ("x11" or "portal") and the portal's restore token.
    static constexpr const char* captureKey = "capture";
    static constexpr const char* restoreTokenKey = "screenCastRestoreToken";

    // The route given, else the settings' choice, else the session's kind.
    explicit LinuxPlatform(std::optional<CaptureRoute> route = std::nullopt,
                           std::shared_ptr<SettingsStore> settings = nullptr);
    // "x11" or "portal"; nothing for anything else.
    static std::optional<CaptureRoute> parseCaptureRoute(std::string_view name);
    // A Wayland session (XDG_SESSION_TYPE=wayland, or WAYLAND_DISPLAY set) records through the portal.
    static CaptureRoute sessionCaptureRoute();
    CaptureRoute captureRoute() const { return route_; }

    std::vector<ScreenDisplay> availableDisplays() override;
    bool hasScreenCaptureAccess() override;
    bool requestScreenCaptureAccess() override;

    std::vector<DeviceOption> cameras() override;
    Access cameraAccess(const std::optional<std::string>& cameraId) override;
    bool requestCameraAccess(const std::string& cameraId) override;

    std::vector<DeviceOption> microphones() override;
    std::optional<std::string> defaultMicrophone() override;
    bool requestMicrophoneAccess(const std::string& micId) override;

    bool isAccessibilityTrusted() override;
    bool requestAccessibilityTrust() override;

    void openSettings(SettingsPane pane) override;
    bool openURL(const std::string& url) override;

    std::shared_ptr<CaptureSource> makeScreenSource(const ScreenDisplay& display, CaptureSize pixels, int fps) override;
    std::optional<CursorCapture> makeCursorCapture(const ScreenDisplay& display, bool inspectElements) override;
    std::shared_ptr<CaptureSource> makeCameraSource(const std::string& cameraId) override;
    std::shared_ptr<void> watchCamera(const std::string& cameraId, CaptureSize fit,
                                      std::function<void(const SampleBuffer&)> onPicture) override;
    std::shared_ptr<CaptureSource> makeMicrophoneSource(const std::string& micId) override;
    std::shared_ptr<CaptureSource> makeComputerSoundSource() override;
    std::optional<std::string> computerSoundProblem() override;
    std::shared_ptr<SettingsStore> settings() override { return settings_; }

    std::shared_ptr<SignInAttempt> makeSignIn(const std::string& webApp) override;
    SegmentEncoderFactory encoderFactory() override;
    std::filesystem::path spoolDirectory() override;

    // The access a device node grants this user: EACCES/EPERM is a refusal.
    static Access nodeAccess(const std::string& path);
    static bool hasDesktop();

private:
    std::optional<CameraDevice> camera(const std::string& id);
    std::optional<MicrophoneDevice> microphone(const std::string& id);
    // Keeps `found` as the last listing and answers it as picker options.
    template <typename Device>
    std::vector<DeviceOption> remember(std::vector<Device> found, std::vector<Device>& listing);
    // The device of `listing` with `id`, listing again once when it is not there.
    template <typename Device>
    std::optional<Device> findListed(const std::vector<Device>& listing, const std::string& id,
                                     const std::function<void()>& relist);

    std::shared_ptr<SettingsStore> settings_;
    CaptureRoute route_;
    std::mutex lock_;
    std::weak_ptr<PortalScreenSource> portalSource_;  // guarded by lock_: the last one made
    std::vector<CameraDevice> cameras_;          // guarded by lock_: the last listing
    std::vector<MicrophoneDevice> microphones_;  // guarded by lock_: the last listing
};

// Starts a program with its output discarded and reaps it in the background.
// Answers false when it could not be started.
bool spawnDetached(const std::vector<std::string>& argv);

}  // namespace brindlow
