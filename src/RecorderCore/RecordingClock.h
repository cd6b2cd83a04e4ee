#pragma once

#include <mutex>
#include <optional>
#include <vector>

#include "Support/MediaTime.h"
#include "Support/SampleBuffer.h"

namespace brindlow {

// Maps host-clock times onto a take's media timeline, which starts at 0 at begin
// and stands still while paused. Shared between capture threads (retime), the
// cursor tracker and the session's controls; every operation takes the one lock.
class RecordingClock {
public:
    RecordingClock() = default;
    RecordingClock(const RecordingClock&) = delete;
    RecordingClock& operator=(const RecordingClock&) = delete;

    static MediaTime hostNow() { return brindlow::hostNow(); }

    void begin(MediaTime at);
    void pause(MediaTime at);
    void resume(MediaTime at);
    void stop(MediaTime at);
    bool isPaused() const;

    // The media time of a host time; nothing before the start, inside a pause or from the stop on.
    std::optional<MediaTime> recordingTime(MediaTime host) const;
    // Recorded seconds up to `now` (0 before begin).
    double elapsed(MediaTime now) const;
    // A copy of the sample moved onto the media timeline, or nothing when it falls outside it.
    std::optional<SampleBuffer> retime(const SampleBuffer& sample) const;
    // A copy with every valid timestamp moved by `offset`; durations unchanged.
    static std::optional<SampleBuffer> shift(const SampleBuffer& sample, MediaTime offset);

private:
    struct Pause {
        MediaTime from;
        std::optional<MediaTime> to;
    };
    std::optional<MediaTime> recordingTimeLocked(MediaTime host) const;

    mutable std::mutex lock_;
    std::optional<MediaTime> start_;    // guarded by lock_; host time of begin
    std::vector<Pause> pauses_;         // guarded by lock_; in the order made
    std::optional<MediaTime> stoppedAt_;  // guarded by lock_
};

}  // namespace brindlow
