// The Wayland desktop the portal screen source is tested on: that it comes up with the
// ScreenCast portal answering, and that the microphone still records there, through
// PipeWire's PulseAudio server.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <numbers>

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

// 16-bit mono WAV of a sine at 48 kHz.
void writeSine(const std::string& path, double frequency, double seconds) {
    const uint32_t frames = uint32_t(48000 * seconds), bytes = frames * 2;
    std::ofstream out(path, std::ios::binary);
    const auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(1);
    u32(48000);
    u32(48000 * 2);
    u16(2);
    u16(16);
    out.write("data", 4);
    u32(bytes);
    for (uint32_t i = 0; i < frames; ++i)
        u16(uint16_t(
            int16_t(std::lround(12000 * std::sin(2 * std::numbers::pi * frequency * i / 48000)))));
}

// A PipeWire desktop has no PulseAudio daemon; the recorder's PulseAudio microphone
// must still work there, through pipewire-pulse.
TEST_F(WaylandRig, TheMicrophoneRecordsThroughPipeWiresPulseAudioServer) {
    const auto info = runCommand({"pactl", "info"}, false);
    ASSERT_EQ(info.exitCode, 0) << info.output;
    EXPECT_NE(info.output.find("on PipeWire"), std::string::npos) << info.output;

    // A sine played by a native PipeWire client into a null sink: its monitor is the microphone.
    ASSERT_EQ(
        runCommand({"pactl", "load-module", "module-null-sink", "sink_name=tone"}, false).exitCode,
        0);
    const std::string wav = rig.runtimeDir() + "/sine.wav";
    writeSine(wav, 440, 20);
    const pid_t player = testing::spawnQuietly({"pw-play", "--target", "tone", wav});
    ASSERT_GT(player, 0);

    MicrophoneSource source({"tone.monitor", "Tone", false});
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<float> tone;  // from the first sound on: the recording may start before the player
    source.start([&](const SampleBuffer& buffer) {
        const AudioSamples* audio = buffer.audioSamples();
        if (!audio) return;
        std::lock_guard lock(mutex);
        auto first = audio->samples.begin();
        if (tone.empty())
            first = std::find_if(first, audio->samples.end(),
                                 [](float x) { return std::fabs(x) > 0.05f; });
        tone.insert(tone.end(), first, audio->samples.end());
        arrived.notify_all();
    });
    {
        std::unique_lock lock(mutex);
        arrived.wait_for(lock, std::chrono::seconds(15), [&] { return tone.size() >= 24000; });
    }
    source.stop();
    kill(player, SIGTERM);
    waitpid(player, nullptr, 0);

    std::lock_guard lock(mutex);
    ASSERT_GE(tone.size(), 24000u) << "half a second of sound never arrived";
    tone.resize(24000);
    float peak = 0;
    for (float x : tone) peak = std::max(peak, std::fabs(x));
    EXPECT_GT(peak, 0.2f);
    // Judged 20 ms at a time: on a busy machine the player can fall behind and leave a gap,
    // which would wreck a single measure over the whole half second.
    std::vector<double> shares;
    for (size_t at = 0; at + 960 <= tone.size(); at += 960)
        shares.push_back(shareAt({tone.begin() + long(at), tone.begin() + long(at + 960)}, 440,
                                 MicrophoneSource::sampleRate));
    std::nth_element(shares.begin(), shares.begin() + long(shares.size() / 2), shares.end());
    EXPECT_GT(shares[shares.size() / 2], 0.9);
}

}  // namespace
}  // namespace brindlow
