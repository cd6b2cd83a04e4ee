#include "AudioTimeline.h"

#include <algorithm>
#include <cmath>
#include <functional>

namespace brindlow {

AudioTimeline::AudioTimeline(Options options) : options_(options) {}

namespace {
using Queue = std::deque<std::pair<double, double>>;
// Keeps the queue's values rising from the front (a running minimum) or falling (a maximum).
template <typename Keep>
void push(Queue& queue, double now, double value, double span, Keep keep) {
    while (!queue.empty() && !keep(queue.back().second, value)) queue.pop_back();
    queue.emplace_back(now, value);
    while (queue.front().first < now - span) queue.pop_front();
}
}  // namespace

void AudioTimeline::Window::add(double now, double arrival, double wait, double span, double minRecent) {
    push(waits, now, wait, span, std::greater<>());
    push(arrivals, now, arrival, span, std::less<>());
    // Recent enough to hold two whole deliveries: the first reads of one may not yet see all of it.
    push(recent, now, arrival, std::max(minRecent, 2.5 * waits.front().second), std::less<>());
}

void AudioTimeline::arrived(MediaTime now, int64_t available) {
    if (!now.isValid()) return;
    const double t = now.seconds();
    const double arrival = t - double(raw_ + std::max<int64_t>(available, 0)) / options_.sampleRate;
    const double wait = lastArrival_ ? t - *lastArrival_ : 0;
    if (lastArrival_ && !settling_) {
        // A device that delivers every 2 s is not stalled after 1 s; one that delivers every
        // 10 ms is after half a second.
        const double usual = window_.waits.empty() ? 0 : window_.waits.front().second;
        if (wait > std::max(options_.minStallSeconds, 2 * usual)) interrupt();
    }
    lastArrival_ = t;
    window_.add(t, arrival, wait, options_.windowSeconds, options_.minRecentSeconds);
    if (settling_) {
        if (!settleFrom_) settleFrom_ = t;
        if (t - *settleFrom_ >= options_.settleSeconds) settle();
        return;
    }
    const double position = *origin_ + double(corrections_) / options_.sampleRate;
    if (window_.recent.front().second - position > options_.jumpSeconds) {
        // Every recent read found the device further behind than drift explains: samples
        // went missing without a word from the server.
        interrupt();
        settleFrom_ = t;
        window_.add(t, arrival, wait, options_.windowSeconds, options_.minRecentSeconds);
        return;
    }
    target_ = std::llround((window_.arrivals.front().second - *origin_) * options_.sampleRate);
    if (std::llabs(target_ - corrections_) > options_.deadBandFrames) correcting_ = true;
}

void AudioTimeline::interrupt() {
    if (origin_) ++figures_.interruptions;
    settling_ = true;
    settleFrom_.reset();
    correcting_ = false;
    window_.clear();
}

void AudioTimeline::settleNow() {
    if (settling_ && !window_.arrivals.empty()) settle();
}

void AudioTimeline::settle() {
    const double earliest = window_.arrivals.front().second;
    if (!origin_) {
        // Device frame 0 was captured at the earliest arrival: the timeline starts there.
        origin_ = earliest;
        corrections_ = target_ = 0;
    } else {
        target_ = std::llround((earliest - *origin_) * options_.sampleRate);
        const int64_t missing = target_ - corrections_;
        if (missing > 0) {
            // Whatever was placed before the interruption goes out first, then the silence.
            flushOut();
            silence_ += missing;
            corrections_ += missing;
            figures_.silentFrames += missing;
        }
        // More samples than time passed cannot be lost sound: the drift correction takes it.
        correcting_ = std::llabs(target_ - corrections_) > options_.deadBandFrames;
    }
    settling_ = false;
    settleFrom_.reset();
    std::vector<float> held;
    held.swap(held_);
    place(held);
}

void AudioTimeline::append(std::span<const float> samples) {
    raw_ += int64_t(samples.size());
    if (settling_) held_.insert(held_.end(), samples.begin(), samples.end());
    else place(samples);
}

void AudioTimeline::appendSilence(int64_t frames) {
    if (frames <= 0) return;
    const std::vector<float> zeros(size_t(frames), 0.0f);
    append(zeros);
}

void AudioTimeline::place(std::span<const float> samples) {
    size_t at = 0;
    while (at < samples.size()) {
        if (!correcting_) {
            out_.insert(out_.end(), samples.begin() + ptrdiff_t(at), samples.end());
            sinceCorrection_ += int64_t(samples.size() - at);
            return;
        }
        const int64_t due = std::max<int64_t>(0, options_.correctionSpacing - sinceCorrection_);
        const size_t run = size_t(std::min<int64_t>(due, int64_t(samples.size() - at)));
        out_.insert(out_.end(), samples.begin() + ptrdiff_t(at), samples.begin() + ptrdiff_t(at + run));
        at += run;
        sinceCorrection_ += int64_t(run);
        if (at == samples.size()) return;
        // One frame, far from the last: repeated when the device runs slow, left out when fast.
        if (target_ > corrections_) {
            out_.push_back(samples[at]);
            ++corrections_;
            ++figures_.repeatedFrames;
        } else {
            ++at;
            --corrections_;
            ++figures_.omittedFrames;
        }
        sinceCorrection_ = 0;
        if (corrections_ == target_) correcting_ = false;
    }
}

MediaTime AudioTimeline::stamp(int64_t outputFrame) const {
    return MediaTime::fromNanoseconds(int64_t(std::llround(*origin_ * 1e9))) +
           MediaTime(outputFrame, options_.sampleRate);
}

SampleBuffer AudioTimeline::buffer(std::vector<float> samples) {
    const auto frames = int64_t(samples.size());
    const MediaTime at = stamp(emitted_);
    emitted_ += frames;
    return SampleBuffer::audio(AudioSamples{options_.sampleRate, 1, std::move(samples)},
                               {MediaTime(frames, options_.sampleRate), at, MediaTime::invalid()});
}

void AudioTimeline::flushOut() {
    if (silence_ > 0 || out_.empty()) return;  // behind owed silence it keeps its place anyway
    for (auto& b : take(true)) ready_.push_back(std::move(b));
}

std::vector<SampleBuffer> AudioTimeline::take(bool partial) {
    std::vector<SampleBuffer> result(std::make_move_iterator(ready_.begin()), std::make_move_iterator(ready_.end()));
    ready_.clear();
    const auto size = size_t(options_.framesPerBuffer);
    while (silence_ > 0 && result.size() < options_.maxBuffersPerTake) {
        const int64_t n = std::min<int64_t>(silence_, options_.framesPerBuffer);
        result.push_back(buffer(std::vector<float>(size_t(n), 0.0f)));
        silence_ -= n;
    }
    if (silence_ > 0) return result;
    size_t at = 0;
    while (out_.size() - at >= size || (partial && at < out_.size())) {
        const size_t n = std::min(size, out_.size() - at);
        result.push_back(buffer(std::vector<float>(out_.begin() + ptrdiff_t(at), out_.begin() + ptrdiff_t(at + n))));
        at += n;
    }
    out_.erase(out_.begin(), out_.begin() + ptrdiff_t(at));
    return result;
}

std::optional<MediaTime> AudioTimeline::end() const {
    if (!origin_) return std::nullopt;
    // ready_ was stamped already: emitted_ counts it.
    return stamp(emitted_ + silence_ + int64_t(out_.size()));
}

bool AudioTimeline::hasPending() const { return !ready_.empty() || silence_ > 0 || !out_.empty(); }

}  // namespace brindlow
