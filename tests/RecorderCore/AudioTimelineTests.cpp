#include "AudioTimeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>

namespace brindlow {
namespace {

// A sound device as measured on real servers: it captures at its own clock's rate, the
// server hands its samples over every `period` (10 ms for a card or PipeWire, 2 s for
// PulseAudio's sine source), and the reader gets to them `delay` later (a busy machine).
// Each sample's value is its index + 1, so the stamp it ends up with can be checked
// against the moment it was captured.
struct Device {
    const char* name;
    double period = 0.010;
    double drift = 0;          // the card's clock against the host's: +1e-4 runs fast
    double maxDelay = 0.002;   // a read comes up to this much after the server posted...
    double lateShare = 0;      // ...or, this often, up to 300 ms later
    double lostFrom = -1, lostFor = 0;  // samples captured then were never delivered
    bool lossNoticed = true;   // the server said so (a suspend, an overflow)
    double seconds = 20;
};

struct Outcome {
    double worstError = 0;      // seconds between a sample's stamp and its capture
    double worstLateError = 0;  // the same from 2 s after the loss on
    int64_t silentFrames = 0;
    bool contiguous = true;
    int64_t frames = 0;
};

Outcome play(const Device& d) {
    constexpr int rate = 48'000;
    const double t0 = 1000;
    auto captured = [&](int64_t k) { return t0 + double(k) / (rate * (1 + d.drift)); };
    std::mt19937 random(7);
    std::uniform_real_distribution<double> uniform(0, 1);
    auto delay = [&] { return uniform(random) < d.lateShare ? 0.3 * uniform(random) : d.maxDelay * uniform(random); };
    AudioTimeline timeline;
    std::vector<SampleBuffer> out;
    std::vector<double> posts;
    for (double posted = t0 + d.period; posted < t0 + d.seconds; posted += d.period) posts.push_back(posted);
    // A device that stops hands over what it had first; the server's notice comes after it.
    const double stop = t0 + d.lostFrom;
    if (d.lostFor > 0) posts.insert(std::upper_bound(posts.begin(), posts.end(), stop), stop);
    int64_t next = 0;  // the next frame the device captures
    for (size_t i = 0; i < posts.size(); ++i) {
        const double readAt = posts[i] + delay();
        // A late read finds everything posted meanwhile (up to the stop, whose notice follows).
        while (i + 1 < posts.size() && posts[i + 1] <= readAt && posts[i] != stop) ++i;
        const double posted = posts[i];
        std::vector<float> chunk;
        while (captured(next) < posted) {
            const double c = captured(next);
            if (!(c >= stop && c < stop + d.lostFor)) chunk.push_back(float(next + 1));
            ++next;
        }
        // A long delivery reaches the reader in pieces, each read seeing only what came so far.
        for (size_t at = 0; at < chunk.size(); at += 15'600) {
            const auto piece = std::span(chunk).subspan(at, std::min<size_t>(15'600, chunk.size() - at));
            timeline.arrived(MediaTime::fromNanoseconds(int64_t(readAt * 1e9)), int64_t(piece.size()));
            timeline.append(piece);
        }
        if (d.lostFor > 0 && d.lossNoticed && posted == stop) timeline.interrupt();
        for (auto& b : timeline.take()) out.push_back(std::move(b));
    }
    timeline.settleNow();
    while (timeline.hasPending())
        for (auto& b : timeline.take(true)) out.push_back(std::move(b));

    Outcome o;
    for (size_t i = 0; i < out.size(); ++i) {
        if (i > 0 && out[i].presentationTime() != out[i - 1].presentationTime() + out[i - 1].duration())
            o.contiguous = false;
        const auto& samples = out[i].audioSamples()->samples;
        for (size_t j = 0; j < samples.size(); ++j) {
            ++o.frames;
            if (samples[j] == 0) {
                ++o.silentFrames;
                continue;
            }
            const double stamp = (out[i].presentationTime() + MediaTime(int64_t(j), rate)).seconds();
            const double capture = captured(int64_t(samples[j]) - 1);
            const double error = std::abs(stamp - capture);
            o.worstError = std::max(o.worstError, error);
            if (d.lostFor > 0 && capture > t0 + d.lostFrom + d.lostFor + 2)
                o.worstLateError = std::max(o.worstLateError, error);
        }
    }
    return o;
}

TEST(AudioTimeline, EverySampleKeepsItsCaptureTimeOnDevicesAsTheyBehave) {
    const std::pair<Device, double> cases[] = {  // the device, the tolerance for every sample in seconds
        {{"a card read every 10 ms"}, 0.001},
        {{"bursts of two seconds", 2.0}, 0.001},
        {{"a read in ten up to 300 ms late on a busy machine", 0.010, 0, 0.002, 0.1}, 0.001},
        // The window lags a slow card by its span times the drift; corrections follow 0.1 % at most.
        {{"a card 100 ppm slow over a minute", 0.010, -1e-4, 0.002, 0, -1, 0, true, 60}, 0.003},
        {{"a card 300 ppm fast over a minute", 0.010, 3e-4, 0.002, 0, -1, 0, true, 60}, 0.003},
    };
    for (const auto& [device, tolerance] : cases) {
        SCOPED_TRACE(device.name);
        const Outcome o = play(device);
        EXPECT_TRUE(o.contiguous);
        EXPECT_EQ(o.silentFrames, 0);
        EXPECT_LT(o.worstError, tolerance);
        EXPECT_GT(o.frames, int64_t(48'000 * (device.seconds - 2.5)));
    }
}

// Only an interruption leaves a gap, and the gap is as long as what was lost, so the sound
// after it plays at its own time.
TEST(AudioTimeline, LostSoundBecomesSilenceOfItsLength) {
    const Device cases[] = {
        {"suspended for 1.5 s", 0.010, 0, 0.002, 0, 5, 1.5, true},
        {"a card that lost 0.8 s without a word", 0.010, 0, 0.002, 0, 5, 0.8, false},
        {"a card that lost 100 ms on a busy machine", 0.010, 0, 0.002, 0.1, 5, 0.1, false},
    };
    for (const auto& d : cases) {
        SCOPED_TRACE(d.name);
        const Outcome o = play(d);
        EXPECT_TRUE(o.contiguous);
        EXPECT_NEAR(double(o.silentFrames) / 48'000, d.lostFor, 0.002);
        EXPECT_LT(o.worstLateError, 0.002);
    }
}

TEST(AudioTimeline, NothingIsStampedBeforeThePositionSettles) {
    AudioTimeline timeline;
    const std::vector<float> tenMs(480, 0.5f);
    const MediaTime start = MediaTime::fromNanoseconds(5'000'000'000);
    timeline.arrived(start, 480);
    timeline.append(tenMs);
    EXPECT_FALSE(timeline.end());
    EXPECT_TRUE(timeline.take(true).empty());
    timeline.settleNow();
    const auto buffers = timeline.take(true);
    ASSERT_EQ(buffers.size(), 1u);
    // The newest sample had just been captured when the read found it.
    EXPECT_EQ(buffers[0].presentationTime() + buffers[0].duration(), start);
    EXPECT_EQ(timeline.end(), start);
}

}  // namespace
}  // namespace brindlow
