#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>

#include "CursorTracker.h"

namespace brindlow {

// The pointer of the X server named by $DISPLAY. Position and held buttons come from
// a pointer query at each sample; presses and releases between two samples are
// latched from XInput2 raw button events, so that no click falls between ticks: a
// click shorter than a tick shows as held at the next sample and released at the
// one after, and a button released and pressed again between two samples while it
// was held shows as released at the next sample and held again at the one after.
// The cursor's shape comes from its XFixes name, polled every 0.1 s on a thread of
// its own.
class X11CursorSampler final : public CursorSampler {
public:
    // Throws XConnectionError when there is no X server.
    X11CursorSampler();
    ~X11CursorSampler() override;

    void start() override;
    void stop() override;
    CursorState sample() override;

    // The shape a cursor name stands for; unknown names (and none) are arrows.
    static CursorShape classify(std::string_view cursorName);

private:
    struct Connection;
    void pollShape(std::stop_token stop);
    void latchRawEvents();

    std::unique_ptr<Connection> x_;
    std::jthread shapePoller_;
    std::mutex lock_;
    CursorShape shape_ = CursorShape::arrow;  // guarded by lock_
    // Only sample() and start() touch these, never at once.
    std::set<int64_t> pressed_;    // pressed since the last sample
    std::set<int64_t> released_;   // released since the last sample
    std::set<int64_t> repressed_;  // held at the last sample, then released and pressed again
    std::set<int64_t> deferred_;   // presses to show at the next sample
    std::set<int64_t> reported_;   // what the last sample said
};

}  // namespace brindlow
