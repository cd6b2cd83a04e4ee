#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "CursorLog.h"
#include "RecordingClock.h"
#include "Support/Concurrency.h"

namespace brindlow {

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

// One pointer sample, in global screen coordinates.
struct CursorState {
    Point location;
    std::set<int64_t> buttons;  // held down: 0 primary, 1 secondary, 2 middle
    CursorShape shape = CursorShape::arrow;
    bool operator==(const CursorState&) const = default;
};

// What an accessibility hit test found, in global screen coordinates.
struct InspectedElement {
    Rect frame;
    std::string role;
    std::string label;
    bool operator==(const InspectedElement&) const = default;
};

// Where the pointer is. start() and stop() bracket a take; sample() is called at
// the sampling rate from the tracker's queue and must be cheap.
class CursorSampler {
public:
    virtual ~CursorSampler() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual CursorState sample() = 0;
};

// Which element is at a point. May block briefly; only called on the element queue.
class ElementInspector {
public:
    virtual ~ElementInspector() = default;
    virtual std::optional<InspectedElement> element(Point at) = 0;
};

struct CursorCapture {
    std::shared_ptr<CursorSampler> sampler;
    Rect displayBounds;  // the recorded display in global screen coordinates
    int64_t hz = 60;
    std::shared_ptr<ElementInspector> inspector;  // only when accessibility is available
};

// Turns the live pointer into a cursor log while a take records: a timer on
// "com.brindlow.recorder.cursor" samples it, stamps each sample with the take's
// recording time in milliseconds and records moves, button changes and shapes;
// each primary press asks, on "com.brindlow.recorder.elements", which element
// lies under the pointer.
class CursorTracker {
public:
    static constexpr int64_t maxPendingInspections = 8;

    // With a spool, every entry is also written there as it is logged.
    CursorTracker(CursorCapture capture, std::shared_ptr<const RecordingClock> clock,
                  std::shared_ptr<CursorLogSpool> spool = nullptr);
    ~CursorTracker();
    CursorTracker(const CursorTracker&) = delete;
    CursorTracker& operator=(const CursorTracker&) = delete;

    void start();
    // Stops sampling, waits for ticks and inspections in flight, and returns the log.
    // Not to be called from either of the tracker's queues.
    CursorLog stop();

    const CursorLogBuilder& builder() const { return builder_; }

private:
    void tick(MediaTime host);
    void inspect(int64_t t, Point at);

    const CursorCapture capture_;
    const std::shared_ptr<const RecordingClock> clock_;
    CursorLogBuilder builder_;
    // Before the queues: inspections still queued when the tracker goes away without
    // stop() run while the queues are destroyed, and they count themselves out here.
    std::mutex pendingLock_;
    int64_t pending_ = 0;  // guarded by pendingLock_
    SerialQueue queue_{"com.brindlow.recorder.cursor"};
    SerialQueue inspectQueue_{"com.brindlow.recorder.elements"};
    std::unique_ptr<RepeatingTimer> timer_;
};

}  // namespace brindlow
