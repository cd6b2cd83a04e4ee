#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "Support/SampleBuffer.h"

namespace brindlow {

// Sums sounds stamped on the host clock, sample by sample, into one: 48 kHz mono, as the
// recorder's sound sources make it. Each input's buffers follow each other (a stamp a
// sample off the last end is rounding, not a gap); a real gap is silence. The mix goes
// as far as every input has come, but never waits more than `maxLagSeconds` for one that
// lags (a source that delivers in bursts, or one that stopped): what it brings later for
// a time already mixed is dropped. A limiter with no attack time keeps the sum below the
// ceiling, so loud sounds together never clip; quieter sums pass unchanged.
// Not thread-safe.
class SoundMixer {
public:
    struct Options {
        int sampleRate = 48'000;
        int framesPerBuffer = 480;
        double maxLagSeconds = 4;
        float ceiling = 0.9f;           // of full scale: room for the encoder's overshoot
        double releaseSeconds = 0.05;   // the limiter's return to full gain
    };

    explicit SoundMixer(size_t inputs, Options options);
    explicit SoundMixer(size_t inputs) : SoundMixer(inputs, Options{}) {}

    // A buffer of input `index`; returns the mixed buffers now ready, whole ones only.
    std::vector<SampleBuffer> add(size_t index, const SampleBuffer& buffer);
    // An input that will bring nothing (its source did not start): the mix stops waiting for it.
    void leaveOut(size_t index);
    // Mixes everything before `hostTime`, inputs that have not reached it heard as silence.
    std::vector<SampleBuffer> flushUntil(MediaTime hostTime);

private:
    struct Track {
        std::deque<float> pending;  // samples from mixed_ on
        std::optional<int64_t> expected;  // where the next buffer should start
        bool live = true;
    };

    std::vector<SampleBuffer> mix(int64_t frames, bool partial);

    const Options options_;
    std::vector<Track> tracks_;
    std::optional<int64_t> mixed_;  // the position (in samples of the host clock) mixed up to
    float gain_ = 1;
};

}  // namespace brindlow
