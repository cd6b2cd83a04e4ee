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

#include "Capture/ComputerSoundSource.h"
#include "Capture/MicrophoneSource.h"
#include "Capture/ScreenSource.h"
#include "MixedSoundSource.h"
#include "Support/FakeSources.h"
#include "Support/SyntheticMedia.h"
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

// The take's screen flashed `count` times with a click each time: every click is heard
// within one picture of its flash.
void expectClicksWithTheirFlashes(const std::filesystem::path& stream, const char* heard, size_t count) {
    const auto video = testing::decodeFlashes(stream);
    const auto audio = testing::decodeClicks(stream);
    ASSERT_EQ(video.flashes.size(), count);
    ASSERT_EQ(audio.clicks.size(), count);
    for (size_t i = 0; i < count; ++i) {
        std::printf("%s, flash %zu at %.3f s: click %+.1f ms\n", heard, i, video.flashes[i],
                    (audio.clicks[i] - video.flashes[i]) * 1000);
        EXPECT_NEAR(audio.clicks[i], video.flashes[i], 1.0 / 30) << i;
    }
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
    // The click's latency for the tone too: a sink that plays with a longer one renders
    // ahead, and a click played later would queue behind what it rendered.
    const pid_t tone =
        testing::spawnQuietly({"paplay", "--latency-msec=5", "--device=probe", (dir / "tone.wav").string()});
    ASSERT_GT(tone, 0);
    runCommand({"xsetroot", "-solid", "black"});
    const auto displays = availableDisplays();
    ASSERT_FALSE(displays.empty());
    auto session = rig.session(std::make_shared<ScreenSource>(displays[0], displays[0].pixels, 30), nullptr,
                               mic("probemic"));
    auto flashAndClick = [&] {
        // The root turns white before the player starts: a picture is seen up to a frame
        // after the change, a sound a few milliseconds after its player starts.
        runCommand({"xsetroot", "-solid", "white"});
        const pid_t click =
            testing::spawnQuietly({"paplay", "--latency-msec=5", "--device=probe", (dir / "click.wav").string()});
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
    expectClicksWithTheirFlashes(stream, "microphone", 3);
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

// What the computer plays, mixed with the microphone: each at its own level, whole
// through a pause, and following the default output when it changes mid-take.
TEST_F(SoundInTakes, ComputerSoundIsMixedWithTheMicrophoneAndFollowsTheDefaultOutput) {
    const auto dir = rig.spool / "sounds";
    std::filesystem::create_directories(dir);
    writeTone(dir / "1k.wav", 1000, 20, 0.3);
    writeTone(dir / "700.wav", 700, 20, 0.3);
    for (const char* sink : {"sink_name=first", "sink_name=second"})
        ASSERT_EQ(runCommand({"pactl", "load-module", "module-null-sink", sink, "rate=48000"}).exitCode, 0);
    // The 700 Hz player asks for the second output; the other ends up following the
    // default, as players that asked for nothing do on a desktop.
    const pid_t first =
        testing::spawnQuietly({"paplay", "--latency-msec=20", "--device=first", (dir / "1k.wav").string()});
    const pid_t second =
        testing::spawnQuietly({"paplay", "--latency-msec=20", "--device=second", (dir / "700.wav").string()});
    // Both play before the default moves to the first (capped: players connect in milliseconds).
    for (int i = 0; i < 100; ++i) {
        const auto inputs = runCommand({"pactl", "list", "short", "sink-inputs"}).output;
        if (std::count(inputs.begin(), inputs.end(), '\n') >= 2) break;
        std::this_thread::sleep_for(50ms);
    }
    runCommand({"pactl", "set-default-sink", "first"});
    auto computer = std::make_shared<ComputerSoundSource>();
    auto sound = std::make_shared<MixedSoundSource>(
        std::vector<MixedSoundSource::Input>{{mic("sine440"), true}, {computer, false}});
    auto session = rig.session(std::make_shared<testing::FakeVideoSource>(CaptureSize{320, 240}, 30), nullptr, sound);
    std::string followed;
    const std::string aid = record(session, [&] {
        std::this_thread::sleep_for(2s);
        session->pause();
        std::this_thread::sleep_for(500ms);
        session->resume();
        std::this_thread::sleep_for(1500ms);
        runCommand({"pactl", "set-default-sink", "second"});
        std::this_thread::sleep_for(3500ms);
        followed = computer->currentSource();
    });
    for (pid_t player : {first, second}) {
        kill(player, SIGTERM);
        waitpid(player, nullptr, 0);
    }
    EXPECT_EQ(followed, "second.monitor");
    const auto stream = rig.stored(aid, "screen");
    expectWholeSound(testing::measureSound(stream));
    // Before the switch (0.5 to 3 s of the take) and well after it (5 to 6.5 s).
    const auto decoded = testing::decodedSound(stream);
    const auto part = [&](double from, double to) {
        return std::vector<float>(decoded.begin() + long(from * 48'000), decoded.begin() + long(to * 48'000));
    };
    ASSERT_GT(decoded.size(), size_t(6.5 * 48'000));
    const auto before = part(0.5, 3), after = part(5, 6.5);
    std::printf("levels before the switch: 440 Hz %.3f, 1 kHz %.3f, 700 Hz %.3f; after: %.3f, %.3f, %.3f\n",
                testing::levelAt(before, 440, 48'000), testing::levelAt(before, 1000, 48'000),
                testing::levelAt(before, 700, 48'000), testing::levelAt(after, 440, 48'000),
                testing::levelAt(after, 1000, 48'000), testing::levelAt(after, 700, 48'000));
    EXPECT_NEAR(testing::levelAt(before, 440, 48'000), 0.5, 0.05);
    EXPECT_NEAR(testing::levelAt(before, 1000, 48'000), 0.3, 0.03);
    EXPECT_LT(testing::levelAt(before, 700, 48'000), 0.01);
    // Now the second output plays both tones: together loud enough for the limiter.
    EXPECT_GT(testing::levelAt(after, 700, 48'000), 0.2);
    EXPECT_GT(testing::levelAt(after, 440, 48'000), 0.4);
}

// Computer sound alone takes the microphone's place: a quiet tone throughout, and clicks
// played with the screen's flashes heard with them.
TEST_F(SoundInTakes, ComputerSoundAloneHoldsItsToneAndItsClicksStayWithTheirFlashes) {
    testing::XvfbProcess xvfb("320x240x24");
    if (!xvfb.ready()) GTEST_SKIP() << "Xvfb could not be started (Debian package xvfb)";
    xvfb.use();
    const auto dir = rig.spool / "sounds";
    std::filesystem::create_directories(dir);
    writeTone(dir / "tone.wav", 1000, 20, 0.1);
    writeTone(dir / "click.wav", 2000, 0.005, 0.9);
    const pid_t tone =
        testing::spawnQuietly({"paplay", "--latency-msec=100", "--device=nullsink", (dir / "tone.wav").string()});
    runCommand({"xsetroot", "-solid", "black"});
    const auto displays = availableDisplays();
    ASSERT_FALSE(displays.empty());
    auto sound = std::make_shared<MixedSoundSource>(
        std::vector<MixedSoundSource::Input>{{std::make_shared<ComputerSoundSource>(), false}});
    auto session = rig.session(std::make_shared<ScreenSource>(displays[0], displays[0].pixels, 30), nullptr, sound);
    const std::string aid = record(session, [&] {
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(600ms);
            // The root turns white before the player starts: a picture is seen up to a frame
            // after the change, a sound a few milliseconds after its player starts.
            runCommand({"xsetroot", "-solid", "white"});
            const pid_t click =
                testing::spawnQuietly({"paplay", "--latency-msec=5", "--device=nullsink", (dir / "click.wav").string()});
            std::this_thread::sleep_for(400ms);
            runCommand({"xsetroot", "-solid", "black"});
            waitpid(click, nullptr, 0);
        }
        std::this_thread::sleep_for(500ms);
    });
    kill(tone, SIGTERM);
    waitpid(tone, nullptr, 0);
    const auto stream = rig.stored(aid, "screen");
    expectClicksWithTheirFlashes(stream, "computer sound", 3);
    const auto sound2 = testing::measureSound(stream, 0.005f);
    std::printf("sound: %s\n", sound2.text().c_str());
    EXPECT_NEAR(sound2.audioSeconds, sound2.videoSeconds, 1.0 / 30);
    std::vector<std::pair<double, double>> gaps;
    for (const auto& silence : sound2.silences)
        if (silence.second > 0.05) gaps.push_back(silence);
    EXPECT_TRUE(gaps.empty()) << sound2.text();
    const auto decoded = testing::decodedSound(stream);
    EXPECT_NEAR(testing::levelAt({decoded.begin() + 24'000, decoded.begin() + 48'000}, 1000, 48'000), 0.1, 0.02);
}

// Two full-scale tones together, the microphone's and the computer's, never clip.
TEST_F(SoundInTakes, TwoFullScaleSoundsTogetherNeverClip) {
    const auto dir = rig.spool / "sounds";
    std::filesystem::create_directories(dir);
    writeTone(dir / "1k.wav", 1000, 10, 1.0);
    writeTone(dir / "440.wav", 440, 10, 1.0);
    const pid_t computerTone =
        testing::spawnQuietly({"paplay", "--latency-msec=20", "--device=nullsink", (dir / "1k.wav").string()});
    const pid_t micTone =
        testing::spawnQuietly({"paplay", "--latency-msec=20", "--device=probe", (dir / "440.wav").string()});
    auto sound = std::make_shared<MixedSoundSource>(std::vector<MixedSoundSource::Input>{
        {mic("probemic"), true}, {std::make_shared<ComputerSoundSource>(), false}});
    auto session = rig.session(std::make_shared<testing::FakeVideoSource>(CaptureSize{320, 240}, 30), nullptr, sound);
    const std::string aid = record(session, [] { std::this_thread::sleep_for(3s); });
    for (pid_t player : {computerTone, micTone}) {
        kill(player, SIGTERM);
        waitpid(player, nullptr, 0);
    }
    const auto decoded = testing::decodedSound(rig.stored(aid, "screen"));
    ASSERT_GT(decoded.size(), size_t(2.5 * 48'000));
    float loudest = 0;
    size_t where = 0;
    for (size_t i = 0; i < decoded.size(); ++i)
        if (std::fabs(decoded[i]) > loudest) loudest = std::fabs(decoded[i]), where = i;
    const std::vector<float> middle(decoded.begin() + 48'000, decoded.begin() + 2 * 48'000);
    std::printf("two full-scale tones: loudest sample %.3f at %.3f s of %.3f s; 440 Hz %.3f, 1 kHz %.3f\n", loudest,
                double(where) / 48'000, double(decoded.size()) / 48'000, testing::levelAt(middle, 440, 48'000),
                testing::levelAt(middle, 1000, 48'000));
    EXPECT_LT(loudest, 1.0f);
    EXPECT_GT(testing::levelAt(middle, 440, 48'000), 0.2);
    EXPECT_GT(testing::levelAt(middle, 1000, 48'000), 0.2);
}

}  // namespace
}  // namespace brindlow
