#include "Capture/ScreenSource.h"

#include "Capture/FrameConverter.h"
#include "Support/SignalStack.h"

namespace brindlow {
namespace {
constexpr auto changePoll = std::chrono::milliseconds(100);
}

ScreenSource::ScreenSource(ScreenDisplay display, CaptureSize pixelSize, int fps, ScreenConnector connector)
    : display_(std::move(display)),
      fps_(std::max(1, fps)),
      interval_(std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(1.0 / fps_))),
      videoSize_(pixelSize.fittedToEncoder()),
      connector_(std::move(connector)) {}

ScreenSource::~ScreenSource() { stop(); }

void ScreenSource::setOnError(std::function<void(const std::exception&)> onError) {
    std::lock_guard lock(lock_);
    onError_ = std::move(onError);
}

void ScreenSource::start(Deliver deliver) {
    {
        std::lock_guard lock(lock_);
        deliver_ = std::move(deliver);
    }
    if (pacer_) return;  // already running
    auto connection = connector_();
    connection->watch(display_.bounds);
    // Scaling a 5K screen down is the one conversion worth a second thread.
    const int threads = display_.bounds.width * display_.bounds.height > 4'000'000 ? 2 : 1;
    converter_ = std::make_unique<FrameConverter>(FrameConverter::Input::bgr0, int(display_.bounds.width),
                                                  int(display_.bounds.height), int(videoSize_.width),
                                                  int(videoSize_.height), threads);
    // The first picture is taken now, so the first tick already has one.
    connection->waitForChange(std::chrono::milliseconds(0));
    takePicture(*connection);
    grabber_ = std::jthread(
        [this, connection = std::move(connection)](std::stop_token stop) mutable {
            ensureSignalStack();
            grabLoop(stop, std::move(connection));
        });
    pacer_ = std::make_unique<RepeatingTimer>(queue_, interval_,
                                              [this](SteadyClock::time_point deadline) { emit(deadline); });
    pacer_->start();
}

void ScreenSource::takePicture(ScreenConnection& connection) {
    int stride = 0;
    const uint8_t* pixels = connection.grab(stride);
    const MediaTime grabbedAt = hostNow();
    auto payload = std::make_shared<const SampleBuffer::Payload>(converter_->convert(pixels, stride));
    std::lock_guard lock(lock_);
    latest_ = std::move(payload);
    latestAt_ = grabbedAt;
}

void ScreenSource::grabLoop(std::stop_token stop, std::unique_ptr<ScreenConnection> connection) {
    try {
        while (!stop.stop_requested()) {
            if (!connection->waitForChange(changePoll)) continue;
            const auto grabbed = SteadyClock::now();
            takePicture(*connection);
            // Changes come faster than frames only on busy screens; one grab per
            // frame interval is all the pacer can use.
            sleepUntil(grabbed + interval_, stop);
        }
    } catch (const std::exception& error) {
        std::function<void(const std::exception&)> onError;
        {
            std::lock_guard lock(lock_);
            onError = onError_;
        }
        if (onError) onError(error);
    }
}

void ScreenSource::emit(SteadyClock::time_point deadline) {
    std::shared_ptr<const SampleBuffer::Payload> picture;
    MediaTime grabbedAt;
    Deliver deliver;
    {
        std::lock_guard lock(lock_);
        picture = latest_;
        grabbedAt = latestAt_;
        deliver = deliver_;
    }
    if (!picture || !deliver) return;
    // Stamped with the tick's deadline, not the moment a busy machine ran it, so frames
    // stay evenly spaced; never before the picture itself was taken.
    const MediaTime due = MediaTime::fromNanoseconds(
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count());
    const MediaTime at = grabbedAt.isValid() && grabbedAt > due ? grabbedAt : due;
    deliver(SampleBuffer(std::move(picture), {SampleTiming{MediaTime(1, fps_), at, MediaTime::invalid()}}));
}

void ScreenSource::stop() {
    if (pacer_) pacer_->cancel();  // waits for a tick in flight
    pacer_.reset();
    if (grabber_.joinable()) {
        grabber_.request_stop();
        grabber_.join();
    }
    grabber_ = {};
    converter_.reset();
    std::lock_guard lock(lock_);
    latest_.reset();
    deliver_ = nullptr;
}

}  // namespace brindlow
