#include "LinuxPlatform.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "Capture/CameraCapture.h"
#include "Capture/ComputerSoundSource.h"
#include "Cursor/AtspiElementInspector.h"
#include "Cursor/X11CursorSampler.h"
#include "DetachedProcess.h"
#include "FFmpeg/FFmpegSegmentEncoder.h"
#include "SignIn/BrowserSignIn.h"
#include "Support/Concurrency.h"
#include "Support/Paths.h"
#include "Support/SessionBus.h"

extern char** environ;

namespace brindlow {

namespace {

class BrowserSignInAttempt final : public SignInAttempt {
public:
    explicit BrowserSignInAttempt(std::shared_ptr<BrowserSignIn> signIn) : signIn_(std::move(signIn)) {}
    std::string start() override { return signIn_->start(); }
    std::string waitForToken(std::stop_token stop) override { return signIn_->waitForToken(stop); }
    void cancel() override { signIn_->cancel(); }

private:
    std::shared_ptr<BrowserSignIn> signIn_;
};

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "/usr/bin:/bin";
    while (!rest.empty()) {
        const size_t colon = rest.find(':');
        const std::string dir(rest.substr(0, colon));
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return false;
}

}  // namespace

template <typename Device>
std::optional<Device> LinuxPlatform::findListed(const std::vector<Device>& listing, const std::string& id,
                                               const std::function<void()>& relist) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        {
            std::lock_guard lock(lock_);
            for (const auto& device : listing)
                if (device.id == id) return device;
        }
        if (attempt == 0) relist();  // plugged in since the last listing
    }
    return std::nullopt;
}

bool spawnDetached(const std::vector<std::string>& argv) {
    if (argv.empty()) return false;
    // The shell finds the program on the PATH, as a user typing its name would.
    std::vector<std::string> line{"/bin/sh", "-c", "exec \"$@\" >/dev/null 2>&1", "sh"};
    line.insert(line.end(), argv.begin(), argv.end());
    return startDetached(line, currentEnvironment());
}

bool LinuxPlatform::hasDesktop() {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (display && *display) || (wayland && *wayland);
}

LinuxPlatform::LinuxPlatform(std::optional<CaptureRoute> route, std::shared_ptr<SettingsStore> settings)
    : settings_(settings ? std::move(settings) : std::make_shared<Settings>(Settings::defaultFile())) {
    if (!route) {
        if (const auto chosen = settings_->string(captureKey)) route = parseCaptureRoute(*chosen);
    }
    route_ = route.value_or(sessionCaptureRoute());
}

std::optional<LinuxPlatform::CaptureRoute> LinuxPlatform::parseCaptureRoute(std::string_view name) {
    if (name == "x11") return CaptureRoute::x11;
    if (name == "portal") return CaptureRoute::portal;
    return std::nullopt;
}

LinuxPlatform::CaptureRoute LinuxPlatform::sessionCaptureRoute() {
    const char* type = std::getenv("XDG_SESSION_TYPE");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const bool onWayland = (type && std::string_view(type) == "wayland") || (wayland && *wayland);
    return onWayland ? CaptureRoute::portal : CaptureRoute::x11;
}

std::vector<ScreenDisplay> LinuxPlatform::availableDisplays() {
    // The desktop's dialog picks the monitor; its size is known once the share starts.
    if (route_ == CaptureRoute::portal) {
        if (!sessionBusConfigured())
            throw std::runtime_error(
                "the desktop's screen sharing needs the session bus: DBUS_SESSION_BUS_ADDRESS is "
                "not set");
        return {ScreenDisplay{1, "Screen", {}, {}}};
    }
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) throw std::runtime_error("no X display: DISPLAY is not set");
    return brindlow::availableDisplays();
}

bool LinuxPlatform::hasScreenCaptureAccess() {
    // The portal asks the user when the take is prepared; it needs the session bus.
    if (route_ == CaptureRoute::portal) return sessionBusConfigured();
    try {
        availableDisplays();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// X11 asks nobody: capture is possible exactly when the display answers.
bool LinuxPlatform::requestScreenCaptureAccess() { return hasScreenCaptureAccess(); }

template <typename Device>
std::vector<DeviceOption> LinuxPlatform::remember(std::vector<Device> found, std::vector<Device>& listing) {
    std::vector<DeviceOption> options;
    for (const auto& device : found) options.push_back({device.id, device.name});
    std::lock_guard lock(lock_);
    listing = std::move(found);
    return options;
}

std::vector<DeviceOption> LinuxPlatform::cameras() { return remember(CameraSource::available(), cameras_); }

std::optional<CameraDevice> LinuxPlatform::camera(const std::string& id) {
    return findListed(cameras_, id, [this] { cameras(); });
}

RecorderPlatform::Access LinuxPlatform::nodeAccess(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return Access::granted;
    }
    return errno == EACCES || errno == EPERM ? Access::denied : Access::undetermined;
}

RecorderPlatform::Access LinuxPlatform::cameraAccess(const std::optional<std::string>& cameraId) {
    std::optional<CameraDevice> device;
    if (cameraId) {
        device = camera(*cameraId);
    } else {
        std::lock_guard lock(lock_);
        if (!cameras_.empty()) device = cameras_.front();
    }
    return device ? nodeAccess(device->path) : Access::undetermined;
}

bool LinuxPlatform::requestCameraAccess(const std::string& cameraId) {
    // Nothing can be asked for: the node's rights (usually the video group) decide.
    return cameraAccess(cameraId) == Access::granted;
}

std::vector<DeviceOption> LinuxPlatform::microphones() {
    return remember(MicrophoneSource::available(), microphones_);
}

std::optional<std::string> LinuxPlatform::defaultMicrophone() {
    std::lock_guard lock(lock_);
    for (const auto& mic : microphones_)
        if (mic.isDefault) return mic.id;
    return std::nullopt;
}

std::optional<MicrophoneDevice> LinuxPlatform::microphone(const std::string& id) {
    return findListed(microphones_, id, [this] { microphones(); });
}

// The sound server has no consent step; a source it lists may be recorded, and a
// refusal while starting is reported by the source itself.
bool LinuxPlatform::requestMicrophoneAccess(const std::string& micId) { return microphone(micId).has_value(); }

bool LinuxPlatform::isAccessibilityTrusted() { return AtspiElementInspector::isTrusted(); }
bool LinuxPlatform::requestAccessibilityTrust() { return AtspiElementInspector::requestTrust(); }

void LinuxPlatform::openSettings(SettingsPane) {
    if (onPath("gnome-control-center")) spawnDetached({"gnome-control-center", "privacy"});
}

bool LinuxPlatform::openURL(const std::string& url) {
    if (!hasDesktop() || !onPath("xdg-open")) return false;
    // xdg-open says at once whether it handed the address on (0) or found no way (3, 4).
    // A fall-back that runs the browser in the foreground counts as opened once it has
    // run a while; it is reaped in the background.
    pid_t pid = -1;
    std::vector<char*> argv{const_cast<char*>("xdg-open"), const_cast<char*>(url.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const int spawned = posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return false;
    const auto deadline = SteadyClock::now() + std::chrono::seconds(5);
    int status = 0;
    while (SteadyClock::now() < deadline) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done < 0 && errno != EINTR) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::thread([pid] {
        int ignored = 0;
        while (waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

std::shared_ptr<CaptureSource> LinuxPlatform::makeScreenSource(const ScreenDisplay& display, CaptureSize pixels,
                                                               int fps) {
    if (route_ == CaptureRoute::x11) return std::make_shared<ScreenSource>(display, pixels, fps);
    PortalTokenStore tokens{[settings = settings_] { return settings->string(restoreTokenKey); },
                            [settings = settings_](const std::string& token) { settings->setString(restoreTokenKey, token); }};
    auto source = std::make_shared<PortalScreenSource>(fps, std::move(tokens));
    std::lock_guard lock(lock_);
    portalSource_ = source;
    return source;
}

std::optional<CursorCapture> LinuxPlatform::makeCursorCapture(const ScreenDisplay& display, bool inspectElements) {
    if (route_ == CaptureRoute::portal) {
        // Only a stream that carries the pointer shows where it is; else it is drawn into the picture.
        std::shared_ptr<PortalScreenSource> source;
        {
            std::lock_guard lock(lock_);
            source = portalSource_.lock();
        }
        if (!source || !source->hasCursorMetadata()) return std::nullopt;
        const CaptureSize size = source->pixelSize();
        return CursorCapture{std::make_shared<PortalCursorSampler>(source), Rect{0, 0, double(size.width), double(size.height)},
                             60, nullptr};
    }
    try {
        const DisplayRect b = display.bounds;
        return CursorCapture{std::make_shared<X11CursorSampler>(),
                             Rect{double(b.x), double(b.y), double(b.width), double(b.height)}, 60,
                             inspectElements ? std::make_shared<AtspiElementInspector>() : nullptr};
    } catch (const std::exception&) {
        return std::nullopt;  // no pointer to follow: the take records without a cursor log
    }
}

std::shared_ptr<CaptureSource> LinuxPlatform::makeCameraSource(const std::string& cameraId) {
    const auto device = camera(cameraId);
    if (!device) throw std::runtime_error("The camera is no longer connected.");
    return std::make_shared<CameraSource>(*device);
}

std::shared_ptr<CaptureSource> LinuxPlatform::makeComputerSoundSource() {
    return std::make_shared<ComputerSoundSource>();
}

std::optional<std::string> LinuxPlatform::computerSoundProblem() { return ComputerSoundSource::problem(); }

std::shared_ptr<void> LinuxPlatform::watchCamera(const std::string& cameraId, CaptureSize fit,
                                                 std::function<void(const SampleBuffer&)> onPicture) {
    const auto device = camera(cameraId);
    if (!device) return nullptr;
    try {
        return std::shared_ptr<CameraWatch>(CameraCapture::of(*device, systemV4L2())->watch(std::move(onPicture), fit));
    } catch (const std::exception&) {
        return nullptr;  // the preview stays empty; a take says why when it tries
    }
}

std::shared_ptr<CaptureSource> LinuxPlatform::makeMicrophoneSource(const std::string& micId) {
    const auto device = microphone(micId);
    if (!device) throw std::runtime_error("The microphone is no longer connected.");
    return std::make_shared<MicrophoneSource>(*device);
}

std::shared_ptr<SignInAttempt> LinuxPlatform::makeSignIn(const std::string& webApp) {
    return std::make_shared<BrowserSignInAttempt>(BrowserSignIn::make(webApp));
}

SegmentEncoderFactory LinuxPlatform::encoderFactory() { return FFmpegSegmentEncoder::factory(); }

std::filesystem::path LinuxPlatform::spoolDirectory() { return userDataDirectory() / "spool"; }

}  // namespace brindlow
