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
    if (first < count) track.pending.insert(track.pending.end(), pcm->samples.begin() + first, pcm->samples.end());
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
    std::vector<SampleBuffer> out;
    const int64_t size = options_.framesPerBuffer;
    if (!partial) frames = frames / size * size;
    const float release = float(1.0 / (options_.releaseSeconds * options_.sampleRate));
    for (int64_t done = 0; done < frames;) {
        const int64_t n = std::min(size, frames - done);
        std::vector<float> sum(size_t(n), 0.0f);
        for (Track& t : tracks_) {
            const auto have = size_t(std::min<int64_t>(n, int64_t(t.pending.size())));
            for (size_t k = 0; k < have; ++k) sum[k] += t.pending[k];
            t.pending.erase(t.pending.begin(), t.pending.begin() + ptrdiff_t(have));
        }
        for (float& x : sum) {
            const float peak = std::fabs(x);
            if (peak * gain_ > options_.ceiling) gain_ = options_.ceiling / peak;
            x *= gain_;
            gain_ = std::min(1.0f, gain_ + release);
        }
        const MediaTime at(*mixed_, options_.sampleRate);
        out.push_back(SampleBuffer::audio(AudioSamples{options_.sampleRate, 1, std::move(sum)},
                                          {MediaTime(n, options_.sampleRate), at, MediaTime::invalid()}));
        *mixed_ += n;
        done += n;
    }
    return out;
}

}  // namespace brindlow
