#include "Capture/PortalScreenSource.h"

namespace brindlow {
namespace {

// A first picture usually comes within a third of a second; a compositor that only
// sends changes may send none for a still screen, and then the share starts black.
constexpr auto firstPictureLimit = std::chrono::seconds(1);

// The stream as the screen source's connection, shared with the portal source.
class SharedStream final : public ScreenConnection {
public:
    explicit SharedStream(std::shared_ptr<PipeWireScreen> stream) : stream_(std::move(stream)) {}
    void watch(const DisplayRect& area) override { stream_->watch(area); }
    bool waitForChange(std::chrono::milliseconds timeout) override { return stream_->waitForChange(timeout); }
    const uint8_t* grab(int& stride) override { return stream_->grab(stride); }

private:
    std::shared_ptr<PipeWireScreen> stream_;
};

}  // namespace

PortalScreenSource::PortalScreenSource(int fps, PortalTokenStore tokens, ScreenCastPortal::Options options) {
    if (!options.restoreToken && tokens.load) options.restoreToken = tokens.load();
    portal_ = ScreenCastPortal::open(options);
    if (portal_->restoreToken() && tokens.save) {
        try {
            tokens.save(*portal_->restoreToken());
        } catch (const std::exception&) {
            // Without it the desktop asks again next time; the take goes on.
        }
    }
    const CaptureSize size = portal_->size();
    const ScreenDisplay display{0, "Screen", size, DisplayRect{0, 0, size.width, size.height}};
    screen_ = std::make_unique<ScreenSource>(display, size, fps, [this]() -> std::unique_ptr<ScreenConnection> {
        auto stream = std::make_shared<PipeWireScreen>(portal_->remoteFd(), portal_->node(), int(portal_->size().width),
                                                       int(portal_->size().height));
        const auto began = SteadyClock::now();
        stream->waitForFirstPicture(firstPictureLimit);
        firstPictureWait_ = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - began);
        {
            std::lock_guard guard(lock_);
            stream_ = stream;
        }
        return std::make_unique<SharedStream>(std::move(stream));
    });
    portal_->setOnClosed([this] {
        std::shared_ptr<PipeWireScreen> stream;
        {
            std::lock_guard guard(lock_);
            stream = stream_;
        }
        if (stream) stream->end("the screen share was stopped from the desktop");
    });
}

PortalScreenSource::~PortalScreenSource() {
    portal_->setOnClosed(nullptr);
    stop();
}

void PortalScreenSource::start(Deliver deliver) { screen_->start(std::move(deliver)); }

void PortalScreenSource::stop() {
    screen_->stop();
    std::lock_guard guard(lock_);
    stream_.reset();
}

void PortalScreenSource::setOnError(std::function<void(const std::exception&)> onError) {
    screen_->setOnError(std::move(onError));
}

std::optional<StreamCursor> PortalScreenSource::cursor() const {
    std::lock_guard guard(lock_);
    return stream_ ? stream_->cursor() : std::nullopt;
}

CursorState PortalCursorSampler::sample() {
    if (const auto source = source_.lock())
        if (const auto cursor = source->cursor()) last_.location = Point{double(cursor->x), double(cursor->y)};
    return last_;
}

}  // namespace brindlow
