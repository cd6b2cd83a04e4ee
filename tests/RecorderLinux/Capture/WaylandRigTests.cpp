// The Wayland desktop the portal screen source is tested on: that it comes up with the
// ScreenCast portal answering, and that the microphone still records there, through
// PipeWire's PulseAudio server.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <numbers>
#include <optional>
#include <thread>

#include "Capture/MicrophoneSource.h"
#include "Support/Subprocess.h"
#include "Support/SyntheticMedia.h"
#include "Support/OnWaylandDesktop.h"

namespace brindlow {
namespace {

using testing::runCommand;
using testing::shareAt;

class WaylandRig : public testing::OnWaylandDesktop {
  protected:

    // A property of the ScreenCast portal as gdbus prints it, e.g. "(<uint32 1>,)".
    static std::string screenCastProperty(const std::string& name) {
        return runCommand({"gdbus", "call", "--session", "--dest", "org.freedesktop.portal.Desktop",
                           "--object-path", "/org/freedesktop/portal/desktop", "--method",
                           "org.freedesktop.DBus.Properties.Get",
                           "org.freedesktop.portal.ScreenCast", name},
                          false)
            .output;
    }

};

TEST_F(WaylandRig, ThePortalOffersMonitorsAtVersion4) {
    // Monitors only: the backend has no window sharing.
    EXPECT_EQ(screenCastProperty("AvailableSourceTypes"), "(<uint32 1>,)\n");
    EXPECT_EQ(screenCastProperty("version"), "(<uint32 4>,)\n");
    EXPECT_TRUE(rig.setBackground("#00ff00"));
}

// A PipeWire desktop has no PulseAudio daemon; the recorder's PulseAudio microphone
// must still work there, through pipewire-pulse at its default quantum, and keep every
// sample while both cores are busy with something else.
TEST_F(WaylandRig, TheMicrophoneKeepsEverySampleThroughPipeWiresPulseAudioServerOnABusyMachine) {
    const auto info = runCommand({"pactl", "info"}, false);
    ASSERT_EQ(info.exitCode, 0) << info.output;
    EXPECT_NE(info.output.find("on PipeWire"), std::string::npos) << info.output;

    const pid_t hog = testing::spawnQuietly({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                                             "testsrc2=size=1920x1080:rate=30,noise=alls=40:allf=t", "-c:v",
                                             "libx264", "-preset", "veryfast", "-f", "null", "-"});
    ASSERT_GT(hog, 0);
    MicrophoneSource source({"testsine", "Test sine", false});
    std::mutex mutex;
    std::vector<SampleBuffer> buffers;
    source.start([&](const SampleBuffer& buffer) {
        std::lock_guard lock(mutex);
        buffers.push_back(buffer);
    });
    // Once the stream has settled, six seconds as a take would have them.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const MediaTime from = hostNow();
    std::this_thread::sleep_for(std::chrono::seconds(6));
    const MediaTime to = hostNow();
    source.deliverUntil(to);
    source.stop();
    kill(hog, SIGTERM);
    waitpid(hog, nullptr, 0);

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
    for (float x : sound) {
        run = std::fabs(x) < 0.01f ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    std::printf("PipeWire on a busy machine: %.3f s of sound for %.3f s, longest quiet %.1f ms\n",
                double(sound.size()) / 48'000, (to - from).seconds(), double(longest) / 48.0);
    EXPECT_LE(longest, 240u) << "a silent stretch over 5 ms";
    EXPECT_GT(shareAt(sound, 440, MicrophoneSource::sampleRate), 0.9);
}

}  // namespace
}  // namespace brindlow
