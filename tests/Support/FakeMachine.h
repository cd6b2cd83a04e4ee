#pragma once

// A machine for the recorder model with neutral answers: whatever a test needs it
// sets in the public fields, and what it builds differently it overrides.

#include <atomic>
#include <mutex>
#include <stdexcept>

#include "RecorderPlatform.h"

namespace brindlow::testing {

class FakeMachine : public RecorderPlatform {
public:
    std::vector<ScreenDisplay> availableDisplays() override {
        std::lock_guard lock(mutex);
        if (displayProblem) throw std::runtime_error(*displayProblem);
        return displays;
    }
    bool hasScreenCaptureAccess() override { return screenAccess; }
    bool requestScreenCaptureAccess() override { return screenAccess; }
    std::vector<DeviceOption> cameras() override {
        std::lock_guard lock(mutex);
        return cameraList;
    }
    Access cameraAccess(const std::optional<std::string>&) override { return camera; }
    bool requestCameraAccess(const std::string&) override { return camera == Access::granted; }
    std::vector<DeviceOption> microphones() override {
        std::lock_guard lock(mutex);
        return micList;
    }
    std::optional<std::string> defaultMicrophone() override { return defaultMic; }
    bool requestMicrophoneAccess(const std::string&) override { return true; }
    bool isAccessibilityTrusted() override { return accessibilityTrusted; }
    bool requestAccessibilityTrust() override { return true; }
    void openSettings(SettingsPane pane) override { screenSettingsOpened += pane == SettingsPane::screenCapture; }
    bool openURL(const std::string&) override { return opensBrowser; }
    std::shared_ptr<CaptureSource> makeScreenSource(const ScreenDisplay&, CaptureSize, int) override { return {}; }
    std::optional<CursorCapture> makeCursorCapture(const ScreenDisplay&, bool) override { return std::nullopt; }
    std::shared_ptr<CaptureSource> makeCameraSource(const std::string&) override { return {}; }
    std::shared_ptr<CaptureSource> makeMicrophoneSource(const std::string&) override { return {}; }
    std::shared_ptr<SignInAttempt> makeSignIn(const std::string&) override { return {}; }
    SegmentEncoderFactory encoderFactory() override { return {}; }
    std::filesystem::path spoolDirectory() override { return spool; }

    // Held while the device lists change under a running model.
    std::mutex mutex;
    std::vector<ScreenDisplay> displays;
    std::optional<std::string> displayProblem;
    std::vector<DeviceOption> cameraList;
    std::vector<DeviceOption> micList;
    std::optional<std::string> defaultMic;
    std::atomic<Access> camera{Access::granted};
    std::atomic<bool> screenAccess{true};
    std::atomic<bool> accessibilityTrusted{true};
    std::atomic<bool> opensBrowser{true};
    std::atomic<int> screenSettingsOpened{0};
    std::filesystem::path spool = "/nonexistent";
};

}  // namespace brindlow::testing
