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
// a time already mixed is dropped. A limiter keeps the sum below the ceiling, so loud
// sounds together never clip: it looks 2 ms ahead and lowers the gain along a ramp to
// each peak (a sudden change would itself be a click for the encoder to smear above
// the ceiling), then lets it back up over 50 ms. Quieter sums pass unchanged. An input
// that starts or comes back after a gap fades in over 20 ms: a loud sound set in at once
// overshoots in the encoder however low the limiter holds it.
// Not thread-safe.
class SoundMixer {
public:
    struct Options {
        int sampleRate = 48'000;
        int framesPerBuffer = 480;
        double maxLagSeconds = 4;
        float ceiling = 0.9f;           // of full scale: room for the encoder's overshoot
        int lookaheadFrames = 96;       // 2 ms: the ramp down to a peak
        double releaseSeconds = 0.05;   // the limiter's return to full gain
        int fadeInFrames = 960;         // 20 ms
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
        int64_t faded = 0;                // frames of the current fade-in done
        bool live = true;
    };

    std::vector<SampleBuffer> mix(int64_t frames, bool partial);
    void limit(std::vector<float>& out, size_t count);

    const Options options_;
    std::vector<Track> tracks_;
    std::optional<int64_t> mixed_;  // the position (in samples of the host clock) summed up to
    int64_t emitted_ = 0;           // the position handed out up to (behind mixed_ by the lookahead)
    std::deque<float> summed_;      // summed, not yet limited and handed out
    float gain_ = 1;
};

}  // namespace brindlow
