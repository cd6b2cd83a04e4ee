#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AuthService.h"
#include "BrindlowAPI.h"
#include "CaptureSource.h"
#include "MainExecutor.h"
#include "ObjectPutter.h"
#include "RecorderEnvironment.h"
#include "RecorderPlatform.h"
#include "RecordingSession.h"
#include "Support/Concurrency.h"
#include "TelemetryRecords.h"

namespace brindlow {

// The screen the recorder panel shows.
struct Screen {
    enum class Kind { loading, signedOut, signingIn, setup, countdown, recording, finishing, saved, failed };
    Kind kind = Kind::loading;
    int countdown = 0;               // countdown: seconds left
    bool paused = false;             // recording
    std::optional<std::string> url;  // saved: the recording's page, when it has a folder
    std::string message;             // failed
    bool canRetrySave = false;       // failed

    static Screen of(Kind kind) {
        Screen screen;
        screen.kind = kind;
        return screen;
    }
    static Screen countdownOf(int n) {
        Screen screen = of(Kind::countdown);
        screen.countdown = n;
        return screen;
    }
    static Screen recording(bool paused) {
        Screen screen = of(Kind::recording);
        screen.paused = paused;
        return screen;
    }
    static Screen saved(std::optional<std::string> url) {
        Screen screen = of(Kind::saved);
        screen.url = std::move(url);
        return screen;
    }
    static Screen failed(std::string message, bool canRetrySave) {
        Screen screen = of(Kind::failed);
        screen.message = std::move(message);
        screen.canRetrySave = canRetrySave;
        return screen;
    }
    // "loading", "signedOut", "signingIn", "setup", "countdown", "recording", "finishing", "saved", "failed".
    std::string_view name() const;
    bool operator==(const Screen&) const = default;
};

struct DisplayOption {
    uint32_t id = 0;
    std::string name;
    CaptureSize pixels;
    bool operator==(const DisplayOption&) const = default;
};

// Everything the recorder window shows and every action behind its controls. State is
// read and written on the main thread only (the executor's); long operations run on
// the "com.brindlow.recorder.model" queue or a sign-in task and post their results
// back. Observers hear about a property only when its value really changed.
// Create through make() or preview(); tasks hold the model weakly.
class RecorderModel : public std::enable_shared_from_this<RecorderModel> {
public:
    enum class Property {
        screen,
        error,
        user,
        displays,
        cameras,
        mics,
        displayId,
        cameraId,
        micId,
        fps,
        elapsed,
        backlogBytes,
        cameraAllowed,
        session,
        signIn,
        signInURL,
        unopenedURL,
        hasAccessibilityPermission,
        hasScreenCapturePermission,
        displayProblem,
        computerSound,
        computerSoundProblem,
    };
    using Observer = std::function<void(Property)>;

    struct Dependencies {
        RecorderEnvironment env;
        std::shared_ptr<HTTPTransport> transport;
        std::shared_ptr<TokenStore> store;
        std::shared_ptr<RecorderPlatform> platform;
        std::shared_ptr<MainExecutor> main;
        // Optional: usage events, and a flush started without waiting.
        std::shared_ptr<TelemetrySink> telemetry;
        std::function<void()> flushTelemetry;
        // Optional front-end hooks: bring the app to the front, minimise its window.
        std::function<void()> activate;
        std::function<void()> minimize;
        // Finish takes left in the spool by an earlier run, in the background, once signed in.
        bool recoverTakes = false;
    };

    static std::shared_ptr<RecorderModel> make(Dependencies dependencies);
    // A design-time model with fixed sample data that never touches the platform.
    static std::shared_ptr<RecorderModel> preview(Screen screen, bool withScreen, std::shared_ptr<MainExecutor> main);

    // What a preview shows beyond its fixed sample data, so that every look of the
    // panel can be drawn (and its views tested) without a platform or a session.
    struct PreviewState {
        Screen screen;
        std::optional<std::string> error;
        bool signedIn = true;
        double elapsed = 754;       // seconds
        int64_t backlogBytes = 0;   // bytes
        bool cameraAllowed = false;
        bool hasAccessibilityPermission = false;
        bool hasScreenCapturePermission = false;
        std::optional<std::string> signInURL, unopenedURL, displayProblem;
        bool computerSound = false;
        std::optional<std::string> computerSoundProblem;
    };
    // Only on a preview instance (ignored otherwise); each change is announced as usual.
    void showPreviewState(const PreviewState& state);
    ~RecorderModel();
    RecorderModel(const RecorderModel&) = delete;
    RecorderModel& operator=(const RecorderModel&) = delete;

    // Observers are called on the main thread; add them before the first operation.
    void observe(Observer observer);
    // Usage events and a flush started without waiting; both optional.
    void setTelemetry(std::shared_ptr<TelemetrySink> telemetry, std::function<void()> flush);

    // Recording options the model sets on every session.
    static RecordingSession::Options recordingOptions(int64_t fps);

    // --- state (main thread) ---
    const RecorderEnvironment& env() const { return env_; }
    // The machine the model runs on, for views that show a device themselves (the preview).
    const std::shared_ptr<RecorderPlatform>& platform() const { return platform_; }
    const std::shared_ptr<AuthService>& auth() const { return auth_; }
    const BrindlowAPI& api() const { return api_; }
    const Screen& screen() const { return screen_; }
    const std::optional<std::string>& error() const { return error_; }
    const std::optional<RecorderUser>& user() const { return user_; }
    const std::vector<DisplayOption>& displays() const { return displays_; }
    const std::vector<DeviceOption>& cameras() const { return cameras_; }
    const std::vector<DeviceOption>& mics() const { return mics_; }
    std::optional<uint32_t> displayId() const { return displayId_; }
    const std::optional<std::string>& cameraId() const { return cameraId_; }
    const std::optional<std::string>& micId() const { return micId_; }
    // Whether takes record what the computer plays (with the microphone, or in its place).
    bool computerSound() const { return computerSound_; }
    // Why the computer's sound cannot be recorded here; nothing when it can.
    const std::optional<std::string>& computerSoundProblem() const { return computerSoundProblem_; }
    int64_t fps() const { return fps_; }
    double elapsed() const { return elapsed_; }
    int64_t backlogBytes() const { return backlogBytes_; }
    bool cameraAllowed() const { return cameraAllowed_; }
    const std::shared_ptr<RecordingSession>& session() const { return session_; }
    bool isSigningIn() const { return signIn_ != nullptr; }
    // The sign-in page's address while a browser sign-in waits for it.
    const std::optional<std::string>& signInURL() const { return signInURL_; }
    // An address the browser could not be asked to open (the sign-in page's, a saved
    // take's), to be shown instead; cleared when the screen changes.
    const std::optional<std::string>& unopenedURL() const { return unopenedURL_; }
    // From record() (or restart()) until the take runs or is given up.
    bool isStartingTake() const { return attempt_ != nullptr; }
    bool isPreview() const { return isPreview_; }
    bool hasAccessibilityPermission() const { return hasAccessibilityPermission_; }
    bool hasScreenCapturePermission() const { return hasScreenCapturePermission_; }
    // Why no display is listed, when listing failed (for example no X display).
    const std::optional<std::string>& displayProblem() const { return displayProblem_; }
    // The camera the live preview shows: only a chosen, allowed camera while setting up,
    // counting down or recording.
    std::optional<std::string> previewCameraId() const;

    // --- choices (main thread); a choice of none is kept through refreshDevices ---
    void setDisplayId(std::optional<uint32_t> id);
    void setCameraId(std::optional<std::string> id);
    void setMicId(std::optional<std::string> id);
    // Kept in the settings for the next launch unless `keep` is false (a command line's flag).
    void setComputerSound(bool on, bool keep = true);
    void setFps(int64_t fps);
    // Seconds counted down before a take begins: 3, or 0 to begin at once.
    void setCountdownSeconds(int seconds) { countdownSeconds_ = seconds; }

    // --- operations (main thread); `done`, when given, runs on the main thread at the end ---
    void load(std::function<void()> done = {});
    void refreshDevices(std::function<void()> done = {});
    void refreshCameraAccess(std::function<void()> done = {});
    void requestAccessibilityPermission();
    void startSignIn();
    // Signs in with a custom token the user already has (the command line's --token).
    void signInWithToken(std::string customToken);
    void cancelSignIn();
    void signOut();
    void record();
    void cancelCountdown();
    void pause();
    void resume();
    void stop();
    void restart();
    void discard();
    void retrySave();
    void newRecording();
    void minimize();
    void openSettings(RecorderPlatform::SettingsPane pane);
    // Opens `url` in the browser; unopenedURL tells when that failed.
    void openURL(const std::string& url);

private:
    explicit RecorderModel(Dependencies dependencies);

    template <typename T>
    void set(T& field, T value, Property property);
    void setScreen(Screen screen);
    void setError(std::optional<std::string> error) { set(error_, std::move(error), Property::error); }
    void setSession(std::shared_ptr<RecordingSession> session);

    // Runs `work` on the model's queue, then `then` on the main thread while the model lives.
    void background(std::function<void()> work, std::function<void(RecorderModel&)> then = {});
    void onMain(std::function<void(RecorderModel&)> work);

    void signInTask(std::optional<std::string> customToken);
    // One press of record or restart until its take runs or is given up. Every step's
    // completion checks that its attempt is still the current one before it touches
    // the model, so a cancel or discard in between is never undone.
    struct TakeAttempt {};
    using Attempt = std::shared_ptr<TakeAttempt>;
    void prepareFailed(const Attempt& attempt, const std::string& message, bool atBegin);
    void runCountdown(const Attempt& attempt);
    void countdownStep(const Attempt& attempt, int n);
    void startTicker();
    void stopTicker();
    // Ends the take without keeping anything and returns to setup.
    void cancelTake(bool resetElapsed);
    // Calls the session, if any, on the model's queue; its outcome arrives as phases.
    void onSession(std::function<void(RecordingSession&)> call, std::function<void(RecorderModel&)> then = {});
    void apply(const RecordingSession::Phase& phase, const std::shared_ptr<RecordingSession>& from);
    void releaseSourcesLater();
    void recoverTakesLater();
    void record(TelemetryEvent event, const TelemetryProps& props);

    const RecorderEnvironment env_;
    const std::shared_ptr<HTTPTransport> transport_;
    const std::shared_ptr<AuthService> auth_;
    const BrindlowAPI api_;
    const std::shared_ptr<ObjectPutter> putter_;
    const std::shared_ptr<RecorderPlatform> platform_;
    const std::shared_ptr<MainExecutor> main_;
    const std::function<void()> activate_, minimize_;
    std::shared_ptr<TelemetrySink> telemetry_;
    std::function<void()> flushTelemetry_;
    bool isPreview_ = false;

    std::vector<Observer> observers_;

    // Main-thread state.
    Screen screen_;
    std::optional<std::string> error_;
    std::optional<RecorderUser> user_;
    std::vector<DisplayOption> displays_;
    std::map<uint32_t, ScreenDisplay> scDisplays_;
    std::vector<DeviceOption> cameras_, mics_;
    std::optional<uint32_t> displayId_;
    std::optional<std::string> cameraId_, micId_;
    // Whether the person picked a display or a microphone (perhaps none) themselves.
    bool displayChosen_ = false, micChosen_ = false;
    int64_t fps_ = 30;
    double elapsed_ = 0;        // seconds
    int64_t backlogBytes_ = 0;  // bytes
    bool cameraAllowed_ = false;
    std::shared_ptr<RecordingSession> session_;
    std::shared_ptr<SignInAttempt> signIn_;
    std::optional<std::string> signInURL_, unopenedURL_;
    bool hasAccessibilityPermission_ = false;
    bool hasScreenCapturePermission_ = false;
    std::optional<std::string> displayProblem_;
    bool computerSound_ = false;
    bool computerSoundRead_ = false;  // the kept choice was read (by the first device listing)
    std::optional<std::string> computerSoundProblem_;
    Attempt attempt_;  // the take being started, if any
    int countdownSeconds_ = 3;

    SerialQueue ticks_{"com.brindlow.recorder.ticker"};  // the recording ticker and the countdown's seconds
    std::unique_ptr<RepeatingTimer> ticker_;
    std::jthread signInThread_;
    const bool recoverTakes_;
    bool recovering_ = false;  // main thread
    std::jthread recovery_;
    SerialQueue work_{"com.brindlow.recorder.model"};  // last: drained before the rest goes away
};

}  // namespace brindlow
