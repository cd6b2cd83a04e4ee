#include "Capture/MicrophoneSource.h"

#include <gtest/gtest.h>

#include "RecorderError.h"
#include "Support/CapturedFrames.h"
#include "Support/ExpectError.h"
#include "Support/PulseAudioProcess.h"
#include "Support/SyntheticMedia.h"

namespace brindlow {
namespace {

using testing::shareAt;

// Sources are listed without monitors, the default marked. The source asked for, not the
// default, is recorded as 48 kHz mono float in 10 ms buffers, each following the last
// without a gap, stamped on the host clock. Neither a missing source nor a missing server
// is a permission the user could grant; without a server there are no devices either.
TEST(MicrophoneOnPulseAudio, ListsRecordsContinuouslyOnTheHostClockAndSaysWhatFailed) {
    testing::PulseAudioProcess pulse;
    if (!pulse.ready()) GTEST_SKIP() << "PulseAudio could not be started (Debian packages pulseaudio pulseaudio-utils)";
    pulse.use();
    const auto devices = MicrophoneSource::available();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(std::tie(devices[0].id, devices[0].isDefault, devices[1].id, devices[1].isDefault),
              std::make_tuple("sine440", true, "probemic", false));
    MicrophoneSource source({"tone.monitor", "Tone", false});
    testing::Frames buffers;
    source.start(buffers.deliver());
    ASSERT_TRUE(buffers.waitFor(100, std::chrono::seconds(15)));
    source.stop();
    const MediaTime now = hostNow();
    std::vector<float> all;
    for (size_t i = 0; i < buffers.buffers.size(); ++i) {
        const auto& b = buffers.buffers[i];
        ASSERT_NE(b.audioSamples(), nullptr);
        EXPECT_EQ(b.audioSamples()->sampleRate, 48000);
        EXPECT_EQ(b.audioSamples()->channels, 1);
        EXPECT_EQ(b.duration(), MediaTime(480, 48000));
        if (i) { EXPECT_EQ(b.presentationTime(), buffers.buffers[i - 1].presentationTime() + b.duration()) << i; }
        all.insert(all.end(), b.audioSamples()->samples.begin(), b.audioSamples()->samples.end());
    }
    EXPECT_GT(shareAt(all, 1000, 48000), 0.9);
    EXPECT_LT(shareAt(all, 440, 48000), 0.01);
    const double age = (now - buffers.buffers.back().presentationTime()).seconds();
    EXPECT_GT(age, 0);
    EXPECT_LT(age, 2);
    const struct {
        const char* server;  // PULSE_SERVER, or nothing for the test's own
        std::string source, message;
    } cases[] = {
        {nullptr, "no-such-source", "could not be started: No such entity"},
        {"unix:/nonexistent/brindlow-native", "sine440", "could not be started: Connection refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        if (c.server) setenv("PULSE_SERVER", c.server, 1);
        MicrophoneSource failing({c.source, "Desk mic", false});
        const auto error = testing::errorFrom<MicrophoneError>([&] { failing.start([](const SampleBuffer&) {}); });
        const std::string what = error ? error->what() : "";
        EXPECT_NE(what.find("\"Desk mic\" " + c.message), std::string::npos) << what;
        failing.stop();
        EXPECT_TRUE(!c.server || MicrophoneSource::available().empty());
    }
}

}  // namespace
}  // namespace brindlow
