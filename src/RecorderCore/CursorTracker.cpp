#include "CursorTracker.h"

#include <chrono>
#include <cmath>

namespace brindlow {

CursorTracker::CursorTracker(CursorCapture capture, std::shared_ptr<const RecordingClock> clock,
                             std::shared_ptr<CursorLogSpool> spool)
    : capture_(std::move(capture)),
      clock_(std::move(clock)),
      builder_(Size{capture_.displayBounds.width, capture_.displayBounds.height}, std::move(spool)) {}

CursorTracker::~CursorTracker() {
    if (timer_) timer_->cancel();
}

void CursorTracker::start() {
    capture_.sampler->start();
    const double interval = 1.0 / double(std::max<int64_t>(capture_.hz, 1));
    timer_ = std::make_unique<RepeatingTimer>(
        queue_, std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(interval)),
        [this] { tick(hostNow()); });
    queue_.async([this] { tick(hostNow()); });  // the first sample now, not an interval later
    timer_->start();
}

void CursorTracker::tick(MediaTime host) {
    const auto recording = clock_->recordingTime(host);
    if (!recording) return;  // before the start, paused, or after the stop
    const int64_t t = std::llround(recording->seconds() * 1000);
    const CursorState state = capture_.sampler->sample();
    const Rect& display = capture_.displayBounds;
    // Outside the display stays outside: no clamping.
    builder_.move(t, (state.location.x - display.x) / display.width, (state.location.y - display.y) / display.height);
    const auto pressed = builder_.buttons(t, state.buttons);
    builder_.shape(t, state.shape);
    if (pressed.contains(0)) inspect(t, state.location);
}

void CursorTracker::inspect(int64_t t, Point at) {
    if (!capture_.inspector) return;
    {
        std::lock_guard lock(pendingLock_);
        if (pending_ >= maxPendingInspections) return;
        ++pending_;
    }
    inspectQueue_.async([this, t, at] {
        try {
            if (const auto element = capture_.inspector->element(at)) {
                const Rect& display = capture_.displayBounds;
                builder_.element(t,
                                 Rect{(element->frame.x - display.x) / display.width,
                                      (element->frame.y - display.y) / display.height,
                                      element->frame.width / display.width, element->frame.height / display.height},
                                 element->role, element->label);
            }
        } catch (const std::exception&) {
            // An inspector failure costs this element, never the take.
        }
        std::lock_guard lock(pendingLock_);
        --pending_;
    });
}

CursorLog CursorTracker::stop() {
    if (timer_) timer_->cancel();
    timer_.reset();
    queue_.sync([] {});
    inspectQueue_.sync([] {});
    capture_.sampler->stop();
    return builder_.finish();
}

}  // namespace brindlow
