// Sound through PipeWire's PulseAudio server, the sound server of current desktops, at
// its default quantum while both cores are busy with something else: the microphone and
// what the computer plays, mixed, keep every sample.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <optional>
#include <thread>

#include "Capture/ComputerSoundSource.h"
#include "Capture/MicrophoneSource.h"
#include "MixedSoundSource.h"
#include "Support/OnWaylandDesktop.h"
#include "Support/Subprocess.h"
#include "Support/SyntheticMedia.h"

namespace brindlow {
namespace {

using testing::runCommand;

class PipeWireSound : public testing::OnWaylandDesktop {};

TEST_F(PipeWireSound, TheMicrophoneAndComputerSoundKeepEverySampleOnABusyMachine) {
    const auto info = runCommand({"pactl", "info"}, false);
    ASSERT_EQ(info.exitCode, 0) << info.output;
    EXPECT_NE(info.output.find("on PipeWire"), std::string::npos) << info.output;

    // What the computer plays: a tone into the default output, from a native PipeWire player.
    const std::string wav = rig.runtimeDir() + "/tone.wav";
    ASSERT_EQ(runCommand({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "aevalsrc=0.3*sin(2*PI*1000*t):s=48000",
                          "-t", "20", "-y", wav})
                  .exitCode,
              0);
    const pid_t player = testing::spawnQuietly({"pw-play", wav});
    const pid_t hog = testing::spawnQuietly({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                                             "testsrc2=size=1920x1080:rate=30,noise=alls=40:allf=t", "-c:v",
                                             "libx264", "-preset", "veryfast", "-f", "null", "-"});
    ASSERT_GT(player, 0);
    ASSERT_GT(hog, 0);
    // The microphone is the graph's own test sine (testsine), driven like a card.
    MixedSoundSource source({{std::make_shared<MicrophoneSource>(MicrophoneDevice{"testsine", "Test sine", false}), true},
                             {std::make_shared<ComputerSoundSource>(), false}});
    std::mutex mutex;
    std::vector<SampleBuffer> buffers;
    source.start([&](const SampleBuffer& buffer) {
        std::lock_guard lock(mutex);
        buffers.push_back(buffer);
    });
    EXPECT_EQ(source.liveInputs(), 2u);
    // Once the streams have settled, six seconds as a take would have them.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const MediaTime from = hostNow();
    std::this_thread::sleep_for(std::chrono::seconds(6));
    const MediaTime to = hostNow();
    source.deliverUntil(to);
    source.stop();
    for (pid_t child : {hog, player}) {
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    }

    std::lock_guard lock(mutex);
    std::vector<float> sound;
    std::optional<MediaTime> first, end;
    int gaps = 0;
    for (const auto& b : buffers) {
        if (b.presentationTime() + b.duration() <= from || b.presentationTime() >= to) continue;
        if (end && b.presentationTime() != *end) ++gaps;
        if (!first) first = b.presentationTime();
        end = b.presentationTime() + b.duration();
        sound.insert(sound.end(), b.audioSamples()->samples.begin(), b.audioSamples()->samples.end());
    }
    ASSERT_TRUE(first && end) << "no sound arrived";
    EXPECT_EQ(gaps, 0);
    EXPECT_LE(*first, from);
    EXPECT_GE(*end, to - MediaTime(1, 30)) << "the sound ends " << (to - *end).seconds() << " s early";
    size_t run = 0, longest = 0;
    float peak = 0;
    for (float x : sound) {
        peak = std::max(peak, std::fabs(x));
        run = std::fabs(x) < 0.01f ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    const double sine = testing::levelAt(sound, 440, 48'000), tone = testing::levelAt(sound, 1000, 48'000);
    std::printf("PipeWire on a busy machine: %.3f s of sound for %.3f s, longest quiet %.1f ms; 440 Hz %.3f, 1 kHz %.3f, peak %.3f\n",
                double(sound.size()) / 48'000, (to - from).seconds(), double(longest) / 48.0, sine, tone, peak);
    EXPECT_LE(longest, 240u) << "a silent stretch over 5 ms";
    // The graph's sine is full scale: with the tone on top the limiter holds the sum
    // under its ceiling, and both are still there.
    EXPECT_GT(sine, 0.6) << "the microphone";
    EXPECT_GT(tone, 0.12) << "the computer's sound";
    EXPECT_LE(peak, 0.901f);
}

}  // namespace
}  // namespace brindlow
