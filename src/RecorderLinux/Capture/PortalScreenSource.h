#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Capture/PipeWireScreen.h"
#include "Capture/ScreenCastPortal.h"
#include "Capture/ScreenSource.h"
#include "CursorTracker.h"

namespace brindlow {

// Where restore tokens are kept between takes, so the desktop asks only once.
struct PortalTokenStore {
    std::function<std::optional<std::string>()> load;
    std::function<void(const std::string&)> save;
};

// The screen on a Wayland desktop: the ScreenCast portal grants a share when the
// source is made (the desktop's dialog, unless a stored token lets it skip that), and
// the share's PipeWire stream feeds the same pacing and conversion as the X11 source.
// Compositors send pictures only when the screen changes; the source repeats the
// latest at the frame rate.
class PortalScreenSource final : public CaptureSource {
public:
    // Throws RecorderError::permissionDenied("Screen Recording") when the user refuses
    // and ScreenConnectionError when there is no portal.
    PortalScreenSource(int fps, PortalTokenStore tokens, ScreenCastPortal::Options options = {});
    ~PortalScreenSource() override;

    std::optional<CaptureSize> videoSize() const override { return screen_->videoSize(); }
    void start(Deliver deliver) override;
    void stop() override;

    // The shared monitor's size, in the stream's pixels.
    CaptureSize pixelSize() const { return portal_->size(); }
    bool hasCursorMetadata() const { return portal_->cursorMode() == ScreenCastPortal::CursorMode::metadata; }
    // Told once when the share ends (from the desktop, or the stream breaking); the
    // last picture keeps being delivered until stop.
    void setOnError(std::function<void(const std::exception&)> onError);
    // The pointer as the stream's cursor meta tells it, while the stream runs.
    std::optional<StreamCursor> cursor() const;

    // How long start() took until the first picture arrived (or gave up waiting).
    std::chrono::milliseconds firstPictureWait() const { return firstPictureWait_; }

private:
    std::unique_ptr<ScreenCastPortal> portal_;
    std::unique_ptr<ScreenSource> screen_;
    mutable std::mutex lock_;
    std::shared_ptr<PipeWireScreen> stream_;  // guarded by lock_
    std::chrono::milliseconds firstPictureWait_{0};
};

// Samples the pointer from a portal source's stream (in stream pixels, which are the
// take's display coordinates); the pointer's buttons cannot be seen on Wayland.
class PortalCursorSampler final : public CursorSampler {
public:
    explicit PortalCursorSampler(std::weak_ptr<PortalScreenSource> source) : source_(std::move(source)) {}
    void start() override {}
    void stop() override {}
    CursorState sample() override;

private:
    std::weak_ptr<PortalScreenSource> source_;
    CursorState last_;
};

}  // namespace brindlow
