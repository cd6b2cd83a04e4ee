#include "Capture/ScreenSource.h"

#include <cstring>

#include "Capture/FrameConverter.h"
#include "Support/SignalStack.h"

namespace brindlow {
namespace {
constexpr auto changePoll = std::chrono::milliseconds(100);

// What to convert for a change: each changed area on whole chroma blocks, or their
// bounding box when they are many or cover most of the picture anyway.
std::vector<PictureArea> partsToConvert(const std::vector<PictureArea>& changed, int width, int height) {
    const PictureArea whole{0, 0, width, height};
    if (changed.empty()) return {whole};
    std::vector<PictureArea> parts;
    int64_t pixels = 0;
    int left = width, top = height, right = 0, bottom = 0;
    for (const PictureArea& area : changed) {
        const PictureArea part = area.alignedToBlocks(width, height);
        if (part.pixels() == 0) continue;
        parts.push_back(part);
        pixels += part.pixels();
        left = std::min(left, part.x);
        top = std::min(top, part.y);
        right = std::max(right, part.x + part.width);
        bottom = std::max(bottom, part.y + part.height);
    }
    constexpr size_t manyParts = 16;  // each is a round trip to the server
    if (parts.size() > manyParts || pixels * 5 > whole.pixels() * 3)
        return {PictureArea{left, top, right - left, bottom - top}};
    return parts;
}

}  // namespace

// Spare NV12 pictures for the grab thread. A delivered picture comes back here when
// its last holder lets go, so a busy screen does not allocate a new one each frame.
class PicturePool : public std::enable_shared_from_this<PicturePool> {
public:
    PicturePool(int width, int height) : width_(width), height_(height) {}

    VideoFrame take() {
        {
            std::lock_guard lock(lock_);
            if (!spare_.empty()) {
                VideoFrame frame = std::move(spare_.back());
                spare_.pop_back();
                return frame;
            }
        }
        return VideoFrame::make(width_, height_);
    }

    // The picture is immutable from here on, until its last holder gives it back.
    std::shared_ptr<const SampleBuffer::Payload> share(VideoFrame frame) {
        return std::shared_ptr<const SampleBuffer::Payload>(
            new SampleBuffer::Payload(std::move(frame)),
            [self = shared_from_this()](const SampleBuffer::Payload* payload) {
                std::unique_ptr<SampleBuffer::Payload> owned(const_cast<SampleBuffer::Payload*>(payload));
                self->giveBack(std::move(std::get<VideoFrame>(*owned)));
            });
    }

private:
    void giveBack(VideoFrame frame) {
        std::lock_guard lock(lock_);
        if (spare_.size() < kept) spare_.push_back(std::move(frame));
    }

    static constexpr size_t kept = 2;
    const int width_, height_;
    std::mutex lock_;
    std::vector<VideoFrame> spare_;  // guarded by lock_
};

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
    if (converter_->convertsAreas()) pool_ = std::make_shared<PicturePool>(converter_->outWidth(), converter_->outHeight());
    // The first picture is taken now, so the first tick already has one.
    connection->waitForChange(std::chrono::milliseconds(0));
    takePicture(*connection, {});
    grabber_ = std::jthread(
        [this, connection = std::move(connection)](std::stop_token stop) mutable {
            ensureSignalStack();
            grabLoop(stop, std::move(connection));
        });
    pacer_ = std::make_unique<RepeatingTimer>(queue_, interval_,
                                              [this](SteadyClock::time_point deadline) { emit(deadline); });
    pacer_->start();
}

void ScreenSource::takePicture(ScreenConnection& connection, std::vector<PictureArea> changed) {
    std::shared_ptr<const SampleBuffer::Payload> payload;
    MediaTime grabbedAt;
    if (!pool_) {
        // A scaled picture is converted whole.
        int stride = 0;
        const uint8_t* pixels = connection.grab(stride);
        grabbedAt = hostNow();
        payload = std::make_shared<const SampleBuffer::Payload>(converter_->convert(pixels, stride));
    } else {
        std::shared_ptr<const SampleBuffer::Payload> current;
        {
            std::lock_guard lock(lock_);
            current = latest_;
        }
        const VideoFrame* previous = current ? std::get_if<VideoFrame>(current.get()) : nullptr;
        if (!previous) changed.clear();
        const std::vector<PictureArea> parts = partsToConvert(changed, converter_->outWidth(), converter_->outHeight());
        // A change only in an odd display's last row or column is not in the picture.
        if (parts.empty()) return;
        VideoFrame next = pool_->take();
        // Copy on write: the delivered picture may still be in the encoder's hands.
        if (parts.front().pixels() < int64_t(next.width) * next.height)
            std::memcpy(next.bytes.data(), previous->bytes.data(), next.bytes.size());
        for (const PictureArea& part : parts) {
            int stride = 0;
            const uint8_t* pixels = connection.grab(part, stride);
            if (!grabbedAt.isValid()) grabbedAt = hostNow();
            converter_->convertArea(pixels, stride, part, next);
        }
        payload = pool_->share(std::move(next));
    }
    std::lock_guard lock(lock_);
    latest_ = std::move(payload);
    latestAt_ = grabbedAt;
}

void ScreenSource::grabLoop(std::stop_token stop, std::unique_ptr<ScreenConnection> connection) {
    try {
        while (!stop.stop_requested()) {
            if (!connection->waitForChange(changePoll)) continue;
            const auto grabbed = SteadyClock::now();
            takePicture(*connection, connection->changedAreas());
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
    pool_.reset();
    std::lock_guard lock(lock_);
    latest_.reset();
    deliver_ = nullptr;
}

}  // namespace brindlow
