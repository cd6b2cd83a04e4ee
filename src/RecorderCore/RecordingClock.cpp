#include "RecordingClock.h"

#include <cmath>

namespace brindlow {

void RecordingClock::begin(MediaTime at) {
    std::lock_guard guard(lock_);
    start_ = at;
    pauses_.clear();
    stoppedAt_.reset();
}

void RecordingClock::pause(MediaTime at) {
    std::lock_guard guard(lock_);
    if (!start_) return;
    if (!pauses_.empty() && !pauses_.back().to) return;
    pauses_.push_back({at, std::nullopt});
}

void RecordingClock::resume(MediaTime at) {
    std::lock_guard guard(lock_);
    if (!pauses_.empty() && !pauses_.back().to) pauses_.back().to = at;
}

void RecordingClock::stop(MediaTime at) {
    std::lock_guard guard(lock_);
    stoppedAt_ = at;
}

bool RecordingClock::isPaused() const {
    std::lock_guard guard(lock_);
    return !pauses_.empty() && !pauses_.back().to;
}

std::optional<MediaTime> RecordingClock::recordingTime(MediaTime host) const {
    std::lock_guard guard(lock_);
    return recordingTimeLocked(host);
}

std::optional<MediaTime> RecordingClock::recordingTimeLocked(MediaTime host) const {
    if (!start_ || !host.isValid() || host < *start_) return std::nullopt;
    if (stoppedAt_ && host >= *stoppedAt_) return std::nullopt;
    MediaTime offset = MediaTime::zero();
    for (const Pause& p : pauses_) {
        if (host < p.from) break;
        if (!p.to) return std::nullopt;
        if (host < *p.to) return std::nullopt;
        offset += *p.to - p.from;
    }
    const MediaTime result = (host - *start_) - offset;
    if (!result.isValid()) return std::nullopt;
    return result;
}

double RecordingClock::elapsed(MediaTime now) const {
    std::lock_guard guard(lock_);
    if (!start_) return 0;
    MediaTime end = stoppedAt_ ? *stoppedAt_ : now;
    if (now < end) end = now;
    MediaTime paused = MediaTime::zero();
    for (const Pause& p : pauses_) {
        if (!(p.from < end)) continue;
        MediaTime pauseEnd = p.to ? *p.to : end;
        if (end < pauseEnd) pauseEnd = end;
        paused += pauseEnd - p.from;
    }
    const double seconds = (end - *start_ - paused).seconds();
    if (std::isnan(seconds) || seconds < 0) return 0;
    return seconds;
}

std::optional<SampleBuffer> RecordingClock::retime(const SampleBuffer& sample) const {
    const MediaTime p = sample.presentationTime();
    if (!p.isValid()) return std::nullopt;
    std::optional<MediaTime> media;
    {
        std::lock_guard guard(lock_);
        media = recordingTimeLocked(p);
    }
    if (!media) return std::nullopt;
    return shift(sample, *media - p);
}

std::optional<SampleBuffer> RecordingClock::shift(const SampleBuffer& sample, MediaTime offset) {
    std::vector<SampleTiming> timing = sample.timing();
    if (timing.empty()) timing.resize(1);  // room for one entry: reads as invalid timestamps
    for (SampleTiming& t : timing) {
        if (t.presentation.isValid()) {
            t.presentation = t.presentation + offset;
            if (!t.presentation.isValid()) return std::nullopt;
        }
        if (t.decode.isValid()) {
            t.decode = t.decode + offset;
            if (!t.decode.isValid()) return std::nullopt;
        }
    }
    return sample.withTiming(std::move(timing));
}

}  // namespace brindlow
