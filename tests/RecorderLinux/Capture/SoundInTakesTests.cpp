// Takes recorded from a real PulseAudio server as its sources really deliver: in bursts,
// suspended mid-take, on a machine busy with something else. The stored take is decoded
// and its sound measured: no silence the source did not leave, as long as the pictures,
// and a click made with a flash heard with it.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cmath>
#include <fstream>
#include <thread>

#include "Capture/MicrophoneSource.h"
#include "Capture/ScreenSource.h"
#include "Support/FakeSources.h"
#include "Support/FlashesAndClicks.h"
#include "Support/PulseAudioProcess.h"
#include "Support/TakeRig.h"
#include "Support/XvfbProcess.h"

namespace brindlow {
namespace {

using namespace std::chrono_literals;
using testing::runCommand;

// 16-bit mono WAV at 48 kHz of `seconds` of `frequency` at `level` (of full scale).
void writeTone(const std::filesystem::path& path, double frequency, double seconds, double level) {
    const auto frames = uint32_t(48'000 * seconds), bytes = frames * 2;
    std::ofstream out(path, std::ios::binary);
    const auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);  // PCM
    u16(1);  // mono
    u32(48'000);
    u32(48'000 * 2);
    u16(2);
    u16(16);
    out.write("data", 4);
    u32(bytes);
    for (uint32_t i = 0; i < frames; ++i)
        u16(uint16_t(int16_t(std::lround(32767 * level * std::sin(2 * M_PI * frequency * i / 48'000)))));
}

class SoundInTakes : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pulse.ready()) GTEST_SKIP() << "PulseAudio could not be started (Debian packages pulseaudio pulseaudio-utils)";
        pulse.use();
    }
    void TearDown() override { unsetenv("PULSE_SERVER"); }

    static std::shared_ptr<MicrophoneSource> mic(const std::string& id) {
        return std::make_shared<MicrophoneSource>(MicrophoneDevice{id, id, false});
    }
    // Records from prepare to stop, after the app's three-second countdown unless `countdown`
    // is false; `during` runs the take's middle on this thread. A sound server may take two
    // seconds to wake an idle sink for its first sample, which the countdown covers.
    std::string record(const std::shared_ptr<RecordingSession>& session, const std::function<void()>& during,
                       bool countdown = true) {
        session->prepare();
        if (countdown) std::this_thread::sleep_for(3s);
        const std::string aid = session->begin();
        during();
        session->stop();
        session->releaseSources();
        return aid;
    }
    static void expectWholeSound(const testing::SoundFigures& sound) {
        std::printf("sound: %s\n", sound.text().c_str());
        EXPECT_TRUE(sound.silences.empty()) << sound.text();
        EXPECT_NEAR(sound.audioSeconds, sound.videoSeconds, 1.0 / 30) << sound.text();
    }

    testing::PulseAudioProcess pulse;
    testing::TakeRig rig;
};

// PulseAudio's sine source hands over two seconds at a time, and the take begins at once:
// the sound must still be whole, pause included, and end with the pictures.
TEST_F(SoundInTakes, ASourceThatDeliversInBurstsRecordsWholeSound) {
    auto session = rig.session(std::make_shared<testing::FakeVideoSource>(CaptureSize{320, 240}, 30), nullptr,
                               mic("sine440"));
    const std::string aid = record(session, [&] {
        std::this_thread::sleep_for(4s);
        session->pause();
        std::this_thread::sleep_for(500ms);
        session->resume();
        std::this_thread::sleep_for(3s);
    }, false);
    expectWholeSound(testing::measureSound(rig.stored(aid, "screen")));
}

// Pictures of noise at 1080p while another 1080p encode takes the machine: the recorder
// may drop pictures to keep up, never sound.
TEST_F(SoundInTakes, ABusyMachineDropsPicturesButNeverSound) {
    const pid_t hog = testing::spawnQuietly({"ffmpeg", "-v", "error", "-f", "lavfi", "-i",
                                             "testsrc2=size=1920x1080:rate=30,noise=alls=40:allf=t", "-c:v", "libx264",
                                             "-preset", "veryfast", "-f", "null", "-"});
    ASSERT_GT(hog, 0);
    auto session = rig.session(testing::FakeVideoSource::noisy({1920, 1080}, 30), nullptr, mic("tone.monitor"));
    const std::string aid = record(session, [] { std::this_thread::sleep_for(10s); });
    kill(hog, SIGTERM);
    waitpid(hog, nullptr, 0);
    std::printf("busy machine: %lld pictures dropped\n", (long long)session->droppedFrames());
    expectWholeSound(testing::measureSound(rig.stored(aid, "screen"), 0.05f));
}

// The X screen flashes and the microphone hears a click at the same moments, before and
// after a pause and after the microphone was suspended for a second: each click plays
// with its flash, and the suspension is the only silence, as long as it lasted.
TEST_F(SoundInTakes, ClicksStayWithTheirFlashesThroughAPauseAndASuspendedMicrophone) {
    testing::XvfbProcess xvfb("320x240x24");
    if (!xvfb.ready()) GTEST_SKIP() << "Xvfb could not be started (Debian package xvfb)";
    xvfb.use();
    const auto dir = rig.spool / "sounds";
    std::filesystem::create_directories(dir);
    writeTone(dir / "tone.wav", 440, 20, 0.1);
    writeTone(dir / "click.wav", 2000, 0.005, 0.9);
    // A steady tone into the probe sink, whose monitor the "probemic" source remaps.
    // A low latency for the tone too: a sink that plays with a long one renders a second
    // ahead, and a click played later would queue behind that second.
    const pid_t tone =
        testing::spawnQuietly({"paplay", "--latency-msec=20", "--device=probe", (dir / "tone.wav").string()});
    ASSERT_GT(tone, 0);
    runCommand({"xsetroot", "-solid", "black"});
    const auto displays = availableDisplays();
    ASSERT_FALSE(displays.empty());
    auto session = rig.session(std::make_shared<ScreenSource>(displays[0], displays[0].pixels, 30), nullptr,
                               mic("probemic"));
    auto flashAndClick = [&] {
        const pid_t click =
            testing::spawnQuietly({"paplay", "--latency-msec=5", "--device=probe", (dir / "click.wav").string()});
        runCommand({"xsetroot", "-solid", "white"});
        std::this_thread::sleep_for(400ms);
        runCommand({"xsetroot", "-solid", "black"});
        waitpid(click, nullptr, 0);
    };
    double suspended = 0;
    const std::string aid = record(session, [&] {
        std::this_thread::sleep_for(1s);
        flashAndClick();
        session->pause();
        std::this_thread::sleep_for(500ms);
        session->resume();
        std::this_thread::sleep_for(500ms);
        flashAndClick();
        const MediaTime from = hostNow();
        runCommand({"pactl", "suspend-source", "probemic", "1"});
        std::this_thread::sleep_for(1s);
        runCommand({"pactl", "suspend-source", "probemic", "0"});
        suspended = (hostNow() - from).seconds();
        std::this_thread::sleep_for(1500ms);
        flashAndClick();
        std::this_thread::sleep_for(500ms);
    });
    kill(tone, SIGTERM);
    waitpid(tone, nullptr, 0);

    const auto stream = rig.stored(aid, "screen");
    const auto video = testing::decodeFlashes(stream);
    const auto audio = testing::decodeClicks(stream);
    ASSERT_EQ(video.flashes.size(), 3u);
    ASSERT_EQ(audio.clicks.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        std::printf("flash %zu at %.3f s: click %+.1f ms\n", i, video.flashes[i],
                    (audio.clicks[i] - video.flashes[i]) * 1000);
        EXPECT_NEAR(audio.clicks[i], video.flashes[i], 1.0 / 30) << i;
    }
    const auto sound = testing::measureSound(stream, 0.005f);
    std::printf("sound: %s; suspended for %.3f s\n", sound.text().c_str(), suspended);
    // A click's stream joining the sink can leave a few quiet milliseconds in the sink's
    // own output; the other takes here hold continuity to 5 ms.
    std::vector<std::pair<double, double>> gaps;
    for (const auto& silence : sound.silences)
        if (silence.second > 0.05) gaps.push_back(silence);
    ASSERT_EQ(gaps.size(), 1u) << sound.text();
    EXPECT_NEAR(gaps[0].second, suspended, 0.1);
    EXPECT_NEAR(sound.audioSeconds, sound.videoSeconds, 1.0 / 30);
}

}  // namespace
}  // namespace brindlow
