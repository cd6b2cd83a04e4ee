#pragma once

// Capture sources that make synthetic media in real time, for session tests and
// benchmarks: moving pictures at a frame rate, a sine in 10 ms buffers, solid colours
// that change at known times (so one decoded pixel tells where in a take it is), or
// whatever a test schedules.

#include <atomic>
#include <functional>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "CaptureSource.h"
#include "Support/Concurrency.h"
#include "Support/SyntheticMedia.h"

namespace brindlow::testing {

// Host times are the monotonic clock's.
inline SteadyClock::time_point steadyAt(MediaTime host) {
    return SteadyClock::time_point(std::chrono::nanoseconds(host.convertedTo(1'000'000'000).value()));
}

// Delivers make(n, due) at host time due = origin + at(n), for n = 0, 1, ..., on a thread
// of its own; the origin is the start unless the test fixes it. Nothing goes out when
// make answers none.
class ScheduledSource : public CaptureSource {
public:
    using Make = std::function<std::optional<SampleBuffer>(int64_t n, MediaTime due)>;
    ScheduledSource(std::optional<CaptureSize> size, std::function<MediaTime(int64_t)> at, Make make,
                    std::optional<MediaTime> origin = std::nullopt)
        : size_(size), at_(std::move(at)), make_(std::move(make)), origin_(origin) {}
    ~ScheduledSource() override { stop(); }

    std::optional<CaptureSize> videoSize() const override { return size_; }
    void start(Deliver deliver) override {
        if (beforeStart) beforeStart();
        if (failStart) throw std::runtime_error("the fake source refused to start");
        started = true;
        thread_ = std::jthread([this, origin = origin_.value_or(hostNow()), deliver = std::move(deliver)](std::stop_token stop) {
            for (int64_t n = 0; sleepUntil(steadyAt(origin + at_(n)), stop); ++n)
                if (auto sample = make_(n, origin + at_(n))) deliver(*sample);
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
    std::optional<CaptureSize> size_;
    std::function<MediaTime(int64_t)> at_;
    Make make_;
    std::optional<MediaTime> origin_;
    std::jthread thread_;
};

// Pictures at `fps`, stamped as they go out: a bar moving across a gradient, fresh noise
// every frame (the most an encoder can be asked to do), or none at all.
class FakeVideoSource final : public ScheduledSource {
public:
    FakeVideoSource(CaptureSize size, int fps, bool sendsFrames = true, bool noisy = false)
        : ScheduledSource(size, [fps](int64_t n) { return MediaTime(n, fps); },
                          [=](int64_t n, MediaTime) -> std::optional<SampleBuffer> {
                              if (!sendsFrames) return std::nullopt;
                              const int w = int(size.width), h = int(size.height);
                              return videoSample(noisy ? noisePicture(w, h, n) : movingPicture(w, h, n), hostNow(), fps);
                          }) {}
    static std::shared_ptr<FakeVideoSource> noisy(CaptureSize size, int fps) {
        return std::make_shared<FakeVideoSource>(size, fps, true, true);
    }
};

// A 440 Hz sine in 10 ms buffers, each delivered once it has been "heard".
class FakeMicSource final : public ScheduledSource {
public:
    FakeMicSource()
        : ScheduledSource(std::nullopt, [](int64_t n) { return MediaTime((n + 1) * 480, 48'000); },
                          [](int64_t n, MediaTime due) {
                              return sineSample(n * 480, 480, due - MediaTime(480, 48'000));
                          }) {}
};

// Solid colours at 30 fps: colours[k] from k × periodSeconds after restartClock() (or the start).
class ColourSequenceSource final : public ScheduledSource {
public:
    ColourSequenceSource(CaptureSize size, std::vector<SolidColour> colours, double periodSeconds)
        : ScheduledSource(size, [](int64_t n) { return MediaTime(n, 30); }, [=, this](int64_t, MediaTime) {
              const double since = std::chrono::duration<double>(SteadyClock::now() - shownFrom_.load()).count();
              const size_t k = std::min(colours.size() - 1, size_t(std::max(0.0, since / periodSeconds)));
              return videoSample(solidPicture(int(size.width), int(size.height), colours[k]), hostNow(), 30);
          }) {}
    ~ColourSequenceSource() override { stop(); }
    void start(Deliver deliver) override {
        restartClock();
        ScheduledSource::start(std::move(deliver));
    }
    // The first colour shows from now on; call it as the take begins.
    void restartClock() { shownFrom_ = SteadyClock::now(); }

private:
    std::atomic<SteadyClock::time_point> shownFrom_{SteadyClock::now()};
};

}  // namespace brindlow::testing
