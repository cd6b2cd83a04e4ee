#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Capture/FrameConverter.h"
#include "CaptureSource.h"
#include "Support/Concurrency.h"
#include "Support/XConnection.h"

namespace brindlow {

class PicturePool;

// A rectangle in the X screen's root-window pixels.
struct DisplayRect {
    int64_t x = 0, y = 0, width = 0, height = 0;
    bool operator==(const DisplayRect&) const = default;
};

// One monitor as the display server lists it.
struct ScreenDisplay {
    uint32_t id = 0;     // the RandR output
    std::string name;    // the monitor's own name, else the output's
    CaptureSize pixels;  // the CRTC's size
    DisplayRect bounds;  // where it sits on the screen
    bool operator==(const ScreenDisplay&) const = default;
};

// The connection broke or the server refused what the source needs.
using ScreenConnectionError = XConnectionError;

// What the screen source needs of the display server: change reports for one area
// and that area's pixels. Used from one thread at a time.
class ScreenConnection {
public:
    virtual ~ScreenConnection() = default;
    // Starts reporting changes inside `area`; the first wait then reports one.
    virtual void watch(const DisplayRect& area) = 0;
    // Whether the watched area changed, waiting up to `timeout` for it. Throws
    // ScreenConnectionError when the connection is gone.
    virtual bool waitForChange(std::chrono::milliseconds timeout) = 0;
    // The watched area's pixels as 32-bit B, G, R, unused; valid until the next call.
    virtual const uint8_t* grab(int& stride) = 0;
    // What the last waitForChange that saw a change found changed, in the watched
    // area's pixels; empty when the server cannot tell, which means all of it.
    virtual std::vector<PictureArea> changedAreas() { return {}; }
    // Only `part` of the watched area, rows `stride` bytes apart; valid until the next call.
    virtual const uint8_t* grab(const PictureArea& part, int& stride) {
        const uint8_t* whole = grab(stride);
        return whole + ptrdiff_t(part.y) * stride + ptrdiff_t(part.x) * 4;
    }
};
using ScreenConnector = std::function<std::unique_ptr<ScreenConnection>()>;

// The displays of the X server named by $DISPLAY (RandR order: every connected
// output with a CRTC). Throws ScreenConnectionError when there is no server.
std::vector<ScreenDisplay> availableDisplays();
// Connections to the X server named by $DISPLAY: DAMAGE for changes, MIT-SHM for pixels.
ScreenConnector xcbScreenConnector();

// Captures one display at a constant frame rate. A grab thread converts the
// picture to NV12 only when the display reports a change, and then only the areas
// that changed, into a copy of the last picture (pictures once delivered are never
// written again, so the encoder may hold them as long as it likes); a strict timer on the
// "com.brindlow.recorder.screen" queue delivers the latest picture every 1/fps,
// stamped with the host time of the tick, so a still screen records as a still
// picture of the right length.
class ScreenSource final : public CaptureSource {
public:
    ScreenSource(ScreenDisplay display, CaptureSize pixelSize, int fps, ScreenConnector connector = xcbScreenConnector());
    ~ScreenSource() override;

    std::optional<CaptureSize> videoSize() const override { return videoSize_; }
    void start(Deliver deliver) override;
    void stop() override;

    // The display's rectangle on the screen, for the cursor tracker.
    DisplayRect displayBounds() const { return display_.bounds; }
    // Told when the connection breaks; the last picture keeps being delivered until stop.
    void setOnError(std::function<void(const std::exception&)> onError);

private:
    void grabLoop(std::stop_token stop, std::unique_ptr<ScreenConnection> connection);
    void takePicture(ScreenConnection& connection, std::vector<PictureArea> changed);
    void emit(SteadyClock::time_point deadline);

    const ScreenDisplay display_;
    const int fps_;
    const SteadyClock::duration interval_;  // 1/fps
    const CaptureSize videoSize_;
    const ScreenConnector connector_;
    SerialQueue queue_{"com.brindlow.recorder.screen"};
    std::unique_ptr<FrameConverter> converter_;
    std::shared_ptr<PicturePool> pool_;                     // grab thread, once started
    std::unique_ptr<RepeatingTimer> pacer_;
    std::jthread grabber_;

    std::mutex lock_;
    std::shared_ptr<const SampleBuffer::Payload> latest_;  // guarded by lock_
    MediaTime latestAt_;                                   // guarded by lock_: host time of the grab
    Deliver deliver_;                                      // guarded by lock_
    std::function<void(const std::exception&)> onError_;   // guarded by lock_
};

}  // namespace brindlow
