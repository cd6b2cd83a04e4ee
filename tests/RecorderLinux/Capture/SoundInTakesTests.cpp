// Takes recorded from a real PulseAudio server as its sources really deliver: in bursts,
// suspended mid-take, on a machine busy with something else. The stored take is decoded
// and its sound measured: no silence the source did not leave, as long as the pictures,
// and a click made with a flash heard with it.

#include <gmock/gmock.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <thread>

#include "Capture/ComputerSoundSource.h"
#include "Capture/MicrophoneSource.h"
#include "Capture/ScreenSource.h"
#include "MixedSoundSource.h"
#include "Support/FakeSources.h"
#include "Support/FlashesAndClicks.h"
#include "Support/PulseAudioProcess.h"
#include "Support/SyntheticMedia.h"
#include "Support/TakeRig.h"
#include "Support/XvfbProcess.h"

namespace brindlow {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess, testing::levelAt, testing::runCommand, ::testing::IsEmpty, ::testing::SizeIs;

class SoundInTakes : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pulse.ready()) GTEST_SKIP() << "PulseAudio could not be started (Debian packages pulseaudio pulseaudio-utils)";
        pulse.use();
        std::filesystem::create_directories(rig.spool);
    }

    static std::shared_ptr<MicrophoneSource> mic(const std::string& id) {
        return std::make_shared<MicrophoneSource>(MicrophoneDevice{id, id, false});
    }
    // A 48 kHz mono WAV of a sine at `level` of full scale.
    std::string tone(const std::string& name, int frequency, double seconds, double level) const {
        const auto wav = (rig.spool / (name + ".wav")).string();
        const auto sine = std::to_string(level) + "*sin(2*PI*" + std::to_string(frequency) + "*t):s=48000:d=";
        EXPECT_EQ(runCommand({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "aevalsrc=" + sine + std::to_string(seconds),
                              "-y", wav}).exitCode, 0);
        return wav;
    }
    // Plays into `sink` until the test ends.
    void play(const std::string& wav, const std::string& sink, int latencyMs = 20) {
        players.emplace_back(std::vector<std::string>{"paplay", "--latency-msec=" + std::to_string(latencyMs),
                                                      "--device=" + sink, wav});
    }
    testing::PulseAudioProcess pulse;
    testing::TakeRig rig;
    std::vector<ChildProcess> players;
};

// PulseAudio's sine source hands over two seconds at a time and the take begins at once,
// while pictures of noise at 1080p and another 1080p encode take the machine: the recorder
// may drop pictures to keep up, never sound, which stays whole through a pause and ends
// with the pictures.
TEST_F(SoundInTakes, ABurstySourceOnABusyMachineRecordsWholeSound) {
    ChildProcess hog({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30,noise=alls=40:allf=t",
                      "-c:v", "libx264", "-preset", "veryfast", "-f", "null", "-"});
    ASSERT_TRUE(hog.started());
    auto session = rig.session(testing::FakeVideoSource::noisy({1920, 1080}, 30), nullptr, mic("sine440"));
    const std::string aid = testing::TakeRig::record(*session, [&] {
        std::this_thread::sleep_for(4s);
        testing::TakeRig::pauseFor(*session, 500ms);
        std::this_thread::sleep_for(5s);
    });
    const auto sound = testing::measureSound(rig.stored(aid, "screen"));
    EXPECT_THAT(sound.silences, IsEmpty());
    EXPECT_NEAR(sound.audioSeconds, sound.videoSeconds, 1.0 / 30);
}

// The X screen flashes and a click plays at the same moments, into the microphone and into
// what the computer plays, before and after a pause, and into the microphone after it was
// suspended for a second: each click plays with its flash, and the suspension is the only silence,
// as long as it lasted.
TEST_F(SoundInTakes, ClicksStayWithTheirFlashesThroughAPauseAndASuspendedMicrophone) {
    testing::XvfbProcess xvfb("320x240x24");
    if (!xvfb.ready()) GTEST_SKIP() << "Xvfb could not be started (Debian package xvfb)";
    xvfb.use();
    // A steady tone the "probemic" source hears. The click's latency for the tone too: a
    // sink that plays with a longer one renders ahead, and a click played later would
    // queue behind what it rendered.
    play(tone("tone", 440, 20, 0.1), "probe", 5);
    runCommand({"xsetroot", "-solid", "black"});
    const auto displays = availableDisplays();
    ASSERT_FALSE(displays.empty());
    auto session = rig.session(std::make_shared<ScreenSource>(displays[0], displays[0].pixels, 30), nullptr,
                               std::make_shared<MixedSoundSource>(std::vector<MixedSoundSource::Input>{
                                   {mic("probemic"), true}, {std::make_shared<ComputerSoundSource>(), false}}));
    // A player per sink, waiting from before the take, is handed each click (5 ms of 2 kHz
    // at half of full scale) on cue: one started at the flash would add its start-up, tens
    // of milliseconds on a busy machine and never the same twice. "probe" is heard by the
    // microphone, "nullsink", the default output, by computer sound.
    std::map<std::string, ChildProcess> clickers;
    for (const std::string sink : {"probe", "nullsink"})
        clickers.emplace(sink, ChildProcess({"pacat", "--latency-msec=5", "--device=" + sink, "--raw",
                                             "--format=float32le", "--rate=48000", "--channels=1"},
                                            ChildProcess::Options{}.typingInput()));
    const auto clickSamples = testing::sineSample(0, 240, MediaTime(0, 48'000), 2000).audioSamples()->samples;
    const std::string click(reinterpret_cast<const char*>(clickSamples.data()), clickSamples.size() * sizeof(float));
    // The root turns white, then the click goes: a picture is seen up to a frame after
    // the change, the click a few milliseconds after it is handed over.
    const auto flashAndClick = [&](const std::string& sink) {
        runCommand({"xsetroot", "-solid", "white"});
        clickers.at(sink).type(click);
        std::this_thread::sleep_for(400ms);
        runCommand({"xsetroot", "-solid", "black"});
    };
    double suspended = 0;
    const std::string aid = testing::TakeRig::record(*session, [&] {
        std::this_thread::sleep_for(1s);
        flashAndClick("probe");
        testing::TakeRig::pauseFor(*session, 500ms);
        std::this_thread::sleep_for(500ms);
        flashAndClick("nullsink");
        const MediaTime from = hostNow();
        runCommand({"pactl", "suspend-source", "probemic", "1"});
        std::this_thread::sleep_for(1s);
        runCommand({"pactl", "suspend-source", "probemic", "0"});
        suspended = (hostNow() - from).seconds();
        std::this_thread::sleep_for(1500ms);
        flashAndClick("probe");
        std::this_thread::sleep_for(500ms);
    }, 3s);

    const auto stream = rig.stored(aid, "screen");
    const auto video = testing::decodeFlashes(stream);
    const auto audio = testing::decodeClicks(stream);
    ASSERT_EQ(video.flashes.size(), 3u);
    ASSERT_EQ(audio.clicks.size(), 3u);
    // Each flash came between the last dark picture and the first white one, its click a
    // few milliseconds later. Sound may sit up to half a frame early (after the suspension its
    // position is learnt again over half a second) and up to a frame late.
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_GT(audio.clicks[i], video.darkBefore[i] - 1.0 / 60) << i;
        EXPECT_LT(audio.clicks[i], video.flashes[i] + 1.0 / 30) << i;
    }
    const auto sound = testing::measureSound(stream, 0.005f);
    // The sinks' own output falls quiet for a few milliseconds now and then, as the click
    // players start again; the other takes here hold continuity to 5 ms.
    auto gaps = sound.silences;
    std::erase_if(gaps, [](const auto& silence) { return silence.second <= 0.05; });
    ASSERT_THAT(gaps, SizeIs(1)) << "the suspension lasted " << suspended << " s";
    EXPECT_NEAR(gaps[0].second, suspended, 0.1);
    EXPECT_NEAR(sound.audioSeconds, sound.videoSeconds, 1.0 / 30);
}

// What the computer plays, mixed with the microphone: each at its own level, whole
// through a pause, following the default output when it changes mid-take, and never
// clipping once the sum needs the limiter.
TEST_F(SoundInTakes, ComputerSoundIsMixedWithTheMicrophoneAndFollowsTheDefaultOutput) {
    for (const char* sink : {"sink_name=first", "sink_name=second"})
        ASSERT_EQ(runCommand({"pactl", "load-module", "module-null-sink", sink, "rate=48000"}).exitCode, 0);
    // The 700 Hz player asks for the second output; the other ends up following the
    // default, as players that asked for nothing do on a desktop.
    play(tone("1k", 1000, 20, 0.3), "first");
    play(tone("700", 700, 20, 0.3), "second");
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
    const std::string aid = testing::TakeRig::record(*session, [&] {
        std::this_thread::sleep_for(2s);
        testing::TakeRig::pauseFor(*session, 500ms);
        std::this_thread::sleep_for(1500ms);
        runCommand({"pactl", "set-default-sink", "second"});
        std::this_thread::sleep_for(3500ms);
    }, 3s);
    const auto stream = rig.stored(aid, "screen");
    const auto whole = testing::measureSound(stream);
    EXPECT_THAT(whole.silences, IsEmpty());
    EXPECT_NEAR(whole.audioSeconds, whole.videoSeconds, 1.0 / 30);
    // Before the switch (0.5 to 3 s of the take) and well after it (5 to 6.5 s).
    const auto decoded = testing::decodedSound(stream);
    ASSERT_GT(decoded.size(), size_t(6.5 * 48'000));
    const auto part = [&](double from, double to) {
        return std::vector<float>(decoded.begin() + long(from * 48'000), decoded.begin() + long(to * 48'000));
    };
    const auto before = part(0.5, 3), after = part(5, 6.5);
    EXPECT_NEAR(levelAt(before, 440, 48'000), 0.5, 0.05);
    EXPECT_NEAR(levelAt(before, 1000, 48'000), 0.3, 0.03);
    EXPECT_LT(levelAt(before, 700, 48'000), 0.01);
    // Now the second output plays both tones: together loud enough for the limiter.
    EXPECT_GT(levelAt(after, 700, 48'000), 0.2);
    EXPECT_LT(std::fabs(std::ranges::max(decoded, {}, [](float x) { return std::fabs(x); })), 1.0f);
}

}  // namespace
}  // namespace brindlow
