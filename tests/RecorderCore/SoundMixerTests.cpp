#include "SoundMixer.h"

#include "MixedSoundSource.h"

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <numbers>
#include <thread>

namespace brindlow {
namespace {

constexpr int rate = 48'000;

// 10 ms of a sine from `first` (in samples of the host clock), stamped there; `shiftNs`
// moves the stamp off the sample grid, as a second device's timeline is.
SampleBuffer tone(int64_t first, double frequency, float level, int64_t shiftNs = 0, int frames = 480) {
    AudioSamples pcm{rate, 1, std::vector<float>(size_t(frames))};
    for (int i = 0; i < frames; ++i)
        pcm.samples[size_t(i)] = level * float(std::sin(2 * std::numbers::pi * frequency * double(first + i) / rate));
    return SampleBuffer::audio(std::move(pcm), {MediaTime(frames, rate),
                                                MediaTime(first, rate) + MediaTime::fromNanoseconds(shiftNs),
                                                MediaTime::invalid()});
}

struct Mixed {
    std::vector<float> samples;
    MediaTime start, end;
    bool contiguous = true;
    void take(const std::vector<SampleBuffer>& buffers) {
        for (const auto& b : buffers) {
            if (end.isValid() && b.presentationTime() != end) contiguous = false;
            if (!start.isValid()) start = b.presentationTime();
            end = b.presentationTime() + b.duration();
            samples.insert(samples.end(), b.audioSamples()->samples.begin(), b.audioSamples()->samples.end());
        }
    }
};

// What two sources really do: one on its own grid a fraction of a sample off, one
// arriving in two-second bursts; the mix is their exact sum, without a gap.
TEST(SoundMixer, SumsTwoSourcesSampleBySampleWhateverTheirPaceAndGrid) {
    SoundMixer mixer(2);
    Mixed out;
    const int64_t origin = 5'000 * int64_t(rate);
    for (int k = 0; k < 400; ++k) {
        out.take(mixer.add(0, tone(origin + k * 480, 1000, 0.3f, 7'000)));  // 7 µs off the grid
        if (k % 200 == 199)  // the burst of the 200 buffers just past
            for (int j = k - 199; j <= k; ++j) out.take(mixer.add(1, tone(origin + j * 480, 440, 0.3f)));
    }
    out.take(mixer.flushUntil(MediaTime(origin + 400 * 480, rate)));
    EXPECT_TRUE(out.contiguous);
    EXPECT_EQ(out.start, MediaTime(origin, rate));
    ASSERT_EQ(out.samples.size(), 400u * 480);
    for (size_t i = 960; i < out.samples.size(); i += 97) {  // past the first 20 ms, faded in
        const double t = double(origin + int64_t(i)) / rate;
        const double expected = 0.3 * (std::sin(2 * std::numbers::pi * 1000 * t) + std::sin(2 * std::numbers::pi * 440 * t));
        ASSERT_NEAR(out.samples[i], expected, 1e-4) << i;
    }
}

// Two full-scale tones together never reach full scale; a source that joins late comes in
// gradually; when one stops, the other comes back at its own level; a source that stops
// is waited for only so long.
TEST(SoundMixer, LoudSumsAreLimitedAndAStoppedSourceHoldsTheMixOnlySoLong) {
    SoundMixer mixer(2);
    Mixed out;
    for (int k = 0; k < 1000; ++k) {
        out.take(mixer.add(0, tone(k * 480, 1000, 0.5f)));
        if (k >= 50 && k < 300) out.take(mixer.add(1, tone(k * 480, 440, 1.0f)));  // then it stops
    }
    const auto alone = [](int64_t i) { return 0.5 * std::sin(2 * std::numbers::pi * 1000 * double(i) / rate); };
    const int64_t joined = 50 * 480 - int64_t(out.start.convertedTo(rate).value());
    for (int64_t i = joined; i < joined + 48; ++i)
        ASSERT_NEAR(out.samples[size_t(i)], alone(i), 0.05) << "not set in at once, " << i - joined;
    float loudest = 0;
    for (float x : out.samples) loudest = std::max(loudest, std::fabs(x));
    EXPECT_LE(loudest, 0.9f + 1e-6f);
    EXPECT_GT(loudest, 0.85f) << "limited, not made quieter";
    // The mix went on without the stopped source, after the four seconds it waited.
    EXPECT_TRUE(out.contiguous);
    EXPECT_GE(out.samples.size(), size_t(1000 * 480 - 4 * rate - 480));
    float lateLoudest = 0;
    for (size_t i = 400 * 480; i < 500 * 480; ++i) lateLoudest = std::max(lateLoudest, std::fabs(out.samples[i]));
    EXPECT_NEAR(lateLoudest, 0.5f, 0.01f);
}

// A sound source that delivers as fast as it can on a thread of its own, as a source
// catching up after a burst does.
class RushingSource final : public CaptureSource {
public:
    RushingSource(double frequency, int buffers) : frequency_(frequency), buffers_(buffers) {}
    std::optional<CaptureSize> videoSize() const override { return std::nullopt; }
    void start(Deliver deliver) override {
        thread_ = std::jthread([this, deliver = std::move(deliver)] {
            for (int k = 0; k < buffers_; ++k) deliver(tone(int64_t(k) * 480, frequency_, 0.3f));
        });
    }
    void stop() override { if (thread_.joinable()) thread_.join(); }

private:
    const double frequency_;
    const int buffers_;
    std::jthread thread_;
};

// Two inputs delivering at once on their own threads: the mix still leaves in order.
TEST(MixedSoundSource, TheMixLeavesInTheOrderItWasMade) {
    constexpr int buffers = 3000;
    auto first = std::make_shared<RushingSource>(1000, buffers), second = std::make_shared<RushingSource>(440, buffers);
    MixedSoundSource mixed({{first, true}, {second, true}});
    std::mutex lock;
    Mixed out;
    mixed.start([&](const SampleBuffer& buffer) {
        std::lock_guard guard(lock);
        out.take({buffer});
    });
    first->stop();
    second->stop();
    mixed.deliverUntil(MediaTime(int64_t(buffers) * 480, rate));
    mixed.stop();
    std::lock_guard guard(lock);
    EXPECT_TRUE(out.contiguous);
    EXPECT_EQ(out.samples.size(), size_t(buffers) * 480);
}

}  // namespace
}  // namespace brindlow
