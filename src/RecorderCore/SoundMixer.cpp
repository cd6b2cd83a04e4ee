#include "SoundMixer.h"

#include <algorithm>
#include <cmath>

namespace brindlow {

SoundMixer::SoundMixer(size_t inputs, Options options) : options_(options), tracks_(inputs) {}

void SoundMixer::leaveOut(size_t index) {
    if (index < tracks_.size()) tracks_[index].live = false;
}

std::vector<SampleBuffer> SoundMixer::add(size_t index, const SampleBuffer& buffer) {
    const AudioSamples* pcm = buffer.audioSamples();
    const MediaTime at = buffer.presentationTime();
    if (index >= tracks_.size() || !pcm || pcm->channels != 1 || pcm->sampleRate != options_.sampleRate ||
        !at.isValid())
        return {};
    Track& track = tracks_[index];
    int64_t position = at.convertedTo(options_.sampleRate).value();
    if (track.expected && std::llabs(position - *track.expected) <= 1) position = *track.expected;
    if (!track.expected || position > *track.expected) track.faded = 0;  // a start, or back after a gap
    const auto count = int64_t(pcm->samples.size());
    track.expected = position + count;
    if (!mixed_) mixed_ = position;  // the first sound starts the mix
    // Where the buffer lands among what is pending; before the mix's position it is late.
    const int64_t from = std::max(position, *mixed_) - *mixed_;
    const int64_t skip = std::max<int64_t>(0, *mixed_ - position);
    if (skip >= count) return mix(0, false);
    if (from > int64_t(track.pending.size())) track.pending.resize(size_t(from), 0.0f);  // a gap is silence
    // An overlap keeps what came first.
    const int64_t overlap = int64_t(track.pending.size()) - from;
    const int64_t first = skip + std::max<int64_t>(0, overlap);
    for (int64_t k = first; k < count; ++k) {
        float sample = pcm->samples[size_t(k)];
        if (track.faded < options_.fadeInFrames) sample *= float(track.faded++) / float(options_.fadeInFrames);
        track.pending.push_back(sample);
    }
    size_t ready = SIZE_MAX, most = 0;
    for (const Track& t : tracks_) {
        if (!t.live) continue;
        ready = std::min(ready, t.pending.size());
        most = std::max(most, t.pending.size());
    }
    if (ready == SIZE_MAX) return {};
    const auto lag = size_t(options_.maxLagSeconds * options_.sampleRate);
    if (most > lag) ready = std::max(ready, most - lag);
    return mix(int64_t(ready), false);
}

std::vector<SampleBuffer> SoundMixer::flushUntil(MediaTime hostTime) {
    if (!mixed_ || !hostTime.isValid()) return {};
    return mix(std::max<int64_t>(0, hostTime.convertedTo(options_.sampleRate).value() - *mixed_), true);
}

std::vector<SampleBuffer> SoundMixer::mix(int64_t frames, bool partial) {
    if (summed_.empty() && frames > 0) emitted_ = *mixed_;
    for (Track& t : tracks_)
        if (t.pending.size() < size_t(frames)) t.pending.resize(size_t(frames), 0.0f);  // behind: silence
    for (int64_t k = 0; k < frames; ++k) {
        float sum = 0;
        for (Track& t : tracks_) {
            sum += t.pending.front();
            t.pending.pop_front();
        }
        summed_.push_back(sum);
    }
    *mixed_ += frames;
    // Whole buffers that have their lookahead; at a flush, everything.
    const auto size = size_t(options_.framesPerBuffer), ahead = size_t(options_.lookaheadFrames);
    size_t ready = summed_.size() > ahead ? summed_.size() - ahead : 0;
    if (partial) ready = summed_.size();
    else ready = ready / size * size;
    std::vector<SampleBuffer> out;
    for (size_t done = 0; done < ready;) {
        const size_t n = std::min(size, ready - done);
        std::vector<float> samples(n);
        limit(samples, n);
        const MediaTime at(emitted_, options_.sampleRate);
        out.push_back(SampleBuffer::audio(AudioSamples{options_.sampleRate, 1, std::move(samples)},
                                          {MediaTime(int64_t(n), options_.sampleRate), at, MediaTime::invalid()}));
        emitted_ += int64_t(n);
        done += n;
    }
    return out;
}

void SoundMixer::limit(std::vector<float>& out, size_t count) {
    const auto ahead = size_t(options_.lookaheadFrames);
    const float release = float(1.0 / (options_.releaseSeconds * options_.sampleRate));
    for (size_t i = 0; i < count; ++i) {
        // The gain that reaches each coming peak's own gain along a straight ramp in time.
        float wanted = 1;
        for (size_t k = 0; k <= ahead && k < summed_.size(); ++k) {
            const float peak = std::fabs(summed_[k]);
            if (peak <= options_.ceiling) continue;
            const float atPeak = options_.ceiling / peak;
            wanted = std::min(wanted, atPeak + (1 - atPeak) * float(k) / float(ahead + 1));
        }
        gain_ = std::min(wanted, gain_ + release);
        out[i] = summed_.front() * gain_;
        summed_.pop_front();
    }
}

}  // namespace brindlow
