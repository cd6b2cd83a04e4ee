#pragma once

// A capture source of solid colours that change at known times, so that a test
// can tell from one decoded pixel where in a take it is.

#include <atomic>
#include <thread>
#include <vector>

#include "CaptureSource.h"
#include "Support/Concurrency.h"
#include "Support/SyntheticMedia.h"

namespace brindlow::testing {

struct SolidColour {
    uint8_t r, g, b;
};

// A whole NV12 picture of one colour (BT.601, limited range).
inline VideoFrame solidPicture(int width, int height, SolidColour c) {
    const double y = 16 + (65.481 * c.r + 128.553 * c.g + 24.966 * c.b) / 255;
    const double u = 128 + (-37.797 * c.r - 74.203 * c.g + 112.0 * c.b) / 255;
    const double v = 128 + (112.0 * c.r - 93.786 * c.g - 18.214 * c.b) / 255;
    VideoFrame frame = VideoFrame::make(width, height);
    auto luma = frame.lumaPlane();
    std::fill(luma.begin(), luma.end(), uint8_t(y + 0.5));
    auto chroma = frame.chromaPlane();
    for (size_t i = 0; i + 1 < chroma.size(); i += 2) {
        chroma[i] = uint8_t(u + 0.5);
        chroma[i + 1] = uint8_t(v + 0.5);
    }
    return frame;
}

// Shows colours[k] from k × periodSeconds after restartClock() (or after start).
class ColourSequenceSource final : public CaptureSource {
public:
    ColourSequenceSource(CaptureSize size, int fps, std::vector<SolidColour> colours, double periodSeconds)
        : size_(size), fps_(fps), colours_(std::move(colours)), period_(periodSeconds) {}
    ~ColourSequenceSource() override { stop(); }

    std::optional<CaptureSize> videoSize() const override { return size_; }
    void start(Deliver deliver) override {
        restartClock();
        thread_ = std::jthread([this, deliver = std::move(deliver)](std::stop_token stop) {
            const auto interval = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(1.0 / fps_));
            auto next = SteadyClock::now();
            while (!stop.stop_requested()) {
                const double since = std::chrono::duration<double>(SteadyClock::now() - origin_.load()).count();
                const size_t k = std::min(colours_.size() - 1, size_t(std::max(0.0, since / period_)));
                deliver(videoSample(solidPicture(int(size_.width), int(size_.height), colours_[k]), hostNow(), fps_));
                next += interval;
                if (!sleepUntil(next, stop)) break;
            }
        });
    }
    void stop() override { thread_ = {}; }

    // The first colour shows from now on; call it as the take begins.
    void restartClock() { origin_ = SteadyClock::now(); }

private:
    CaptureSize size_;
    int fps_;
    std::vector<SolidColour> colours_;
    double period_;  // seconds each colour shows
    std::atomic<SteadyClock::time_point> origin_;
    std::jthread thread_;
};

}  // namespace brindlow::testing
