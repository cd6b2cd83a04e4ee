#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "CaptureSource.h"
#include "Capture/ScreenSource.h"
#include "CursorTracker.h"
#include "RecordingSession.h"
#include "SegmentWriter.h"
#include "Settings.h"

namespace brindlow {

// A camera or a microphone as the pickers list it.
struct DeviceOption {
    std::string id;    // stable device id
    std::string name;  // what the user reads
    bool operator==(const DeviceOption&) const = default;
};

// One browser sign-in: the address to open, then the token the web app sends back.
// waitForToken throws BrowserSignIn::Failure (cancelled after cancel()) or
// CancellationError when `stop` is requested.
class SignInAttempt {
public:
    virtual ~SignInAttempt() = default;
    virtual std::string start() = 0;
    virtual std::string waitForToken(std::stop_token stop) = 0;
    virtual void cancel() = 0;
};

// What the recorder model needs of the machine it runs on: devices, permissions,
// capture sources, the browser and the system settings. Called from the model's
// background queue, never from the main thread, so any call may block briefly.
class RecorderPlatform {
public:
    enum class Access { granted, denied, undetermined };
    enum class SettingsPane { screenCapture, accessibility };

    virtual ~RecorderPlatform() = default;

    // Throws with a readable reason when displays cannot be listed at all.
    virtual std::vector<ScreenDisplay> availableDisplays() = 0;
    // The screen-capture preflight; never asks the user.
    virtual bool hasScreenCaptureAccess() = 0;
    // Asks for screen capture; answers whether it is granted now.
    virtual bool requestScreenCaptureAccess() = 0;

    virtual std::vector<DeviceOption> cameras() = 0;
    virtual Access cameraAccess(const std::optional<std::string>& cameraId) = 0;
    virtual bool requestCameraAccess(const std::string& cameraId) = 0;

    virtual std::vector<DeviceOption> microphones() = 0;
    virtual std::optional<std::string> defaultMicrophone() = 0;
    virtual bool requestMicrophoneAccess(const std::string& micId) = 0;

    virtual bool isAccessibilityTrusted() = 0;
    virtual bool requestAccessibilityTrust() = 0;

    virtual void openSettings(SettingsPane pane) = 0;
    // False when no browser could be asked to open it.
    virtual bool openURL(const std::string& url) = 0;

    virtual std::shared_ptr<CaptureSource> makeScreenSource(const ScreenDisplay& display, CaptureSize pixels,
                                                            int fps) = 0;
    // The pointer and click capture for `display`; nothing when the pointer cannot be followed.
    virtual std::optional<CursorCapture> makeCursorCapture(const ScreenDisplay& display, bool inspectElements) = 0;
    virtual std::shared_ptr<CaptureSource> makeCameraSource(const std::string& cameraId) = 0;
    // Pictures of the camera for a live preview, scaled to fit `fit`, from the same capture
    // a take of it records through (a camera streams to one handle at a time), on a thread
    // of the capture's; they stop when the returned handle goes. Nothing when the camera
    // cannot be shown.
    virtual std::shared_ptr<void> watchCamera(const std::string& /*cameraId*/, CaptureSize /*fit*/,
                                              std::function<void(const SampleBuffer&)> /*onPicture*/) {
        return nullptr;
    }
    virtual std::shared_ptr<CaptureSource> makeMicrophoneSource(const std::string& micId) = 0;
    // What the computer plays, as a sound source of its own; nothing where it cannot be recorded.
    virtual std::shared_ptr<CaptureSource> makeComputerSoundSource() { return nullptr; }
    // Why the computer's sound cannot be recorded here, in words for the person; nothing when it can.
    virtual std::optional<std::string> computerSoundProblem() { return "This system cannot record what it plays."; }
    // The person's kept preferences (settings.json); nothing where none are kept.
    virtual std::shared_ptr<SettingsStore> settings() { return nullptr; }

    virtual std::shared_ptr<SignInAttempt> makeSignIn(const std::string& webApp) = 0;
    virtual SegmentEncoderFactory encoderFactory() = 0;
    virtual std::filesystem::path spoolDirectory() = 0;
    // How free space is read before a take begins; empty for the spool's file system.
    virtual RecordingSession::FreeSpace freeSpace() { return {}; }
};

}  // namespace brindlow
