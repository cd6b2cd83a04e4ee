#pragma once

// Capture sources that make synthetic media in real time, for session tests and
// benchmarks: moving pictures at a frame rate, a sine in 10 ms buffers.

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "CaptureSource.h"
#include "Support/Concurrency.h"
#include "Support/SyntheticMedia.h"

namespace brindlow::testing {

class FakeVideoSource final : public CaptureSource {
public:
    FakeVideoSource(CaptureSize size, int fps, bool sendsFrames = true)
        : size_(size), fps_(fps), sendsFrames_(sendsFrames) {}
    // Pictures of fresh noise every frame: the most an encoder can be asked to do.
    static std::shared_ptr<FakeVideoSource> noisy(CaptureSize size, int fps) {
        auto source = std::make_shared<FakeVideoSource>(size, fps);
        source->noisy_ = true;
        return source;
    }
    ~FakeVideoSource() override { stop(); }

    std::optional<CaptureSize> videoSize() const override { return size_; }
    void start(Deliver deliver) override {
        if (beforeStart) beforeStart();
        if (failStart) throw std::runtime_error("the fake source refused to start");
        started = true;
        thread_ = std::jthread([this, deliver = std::move(deliver)](std::stop_token stop) {
            const auto interval = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(1.0 / fps_));
            auto next = SteadyClock::now();
            for (int64_t i = 0; !stop.stop_requested(); ++i) {
                if (sendsFrames_) {
                    const int w = int(size_.width), h = int(size_.height);
                    deliver(videoSample(noisy_ ? noisePicture(w, h, i) : movingPicture(w, h, i), hostNow(), fps_));
                }
                next += interval;
                if (!sleepUntil(next, stop)) break;
            }
        });
    }
    void stop() override {
        if (thread_.joinable()) stopped = true;
        thread_ = {};
    }

    std::atomic<bool> started{false}, stopped{false};
    bool failStart = false;
    std::function<void()> beforeStart;  // runs on the starting thread, may block

private:
    CaptureSize size_;
    int fps_;
    bool sendsFrames_;
    bool noisy_ = false;
    std::jthread thread_;
};

class FakeMicSource final : public CaptureSource {
public:
    ~FakeMicSource() override { stop(); }
    std::optional<CaptureSize> videoSize() const override { return std::nullopt; }
    void start(Deliver deliver) override {
        started = true;
        thread_ = std::jthread([deliver = std::move(deliver)](std::stop_token stop) {
            const MediaTime origin = hostNow();
            const auto begun = SteadyClock::now();
            for (int64_t i = 0; !stop.stop_requested(); ++i) {
                deliver(sineSample(i * 480, 480, origin + MediaTime(i * 480, 48'000)));
                if (!sleepUntil(begun + std::chrono::milliseconds(10 * (i + 1)), stop)) break;
            }
        });
    }
    void stop() override {
        if (thread_.joinable()) stopped = true;
        thread_ = {};
    }
    std::atomic<bool> started{false}, stopped{false};

private:
    std::jthread thread_;
};

}  // namespace brindlow::testing
