// Sound through PipeWire's PulseAudio server, the sound server of current desktops, at
// its default quantum while both cores are busy with something else: the microphone and
// what the computer plays, mixed, keep every sample.

#include <gmock/gmock.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <optional>
#include <thread>

#include "Capture/ComputerSoundSource.h"
#include "Capture/MicrophoneSource.h"
#include "Capture/PulseSourceReader.h"
#include "MixedSoundSource.h"
#include "Support/CapturedFrames.h"
#include "Support/OnWaylandDesktop.h"
#include "Support/Subprocess.h"
#include "Support/SyntheticMedia.h"

namespace brindlow {
namespace {

using testing::ChildProcess, testing::runCommand;
using PipeWireSound = testing::OnWaylandDesktop;

TEST_F(PipeWireSound, TheMicrophoneAndComputerSoundKeepEverySampleOnABusyMachine) {
    // What the computer plays, a 1 kHz tone into the default output, and what the
    // microphone hears, 440 Hz into the test microphone, both from native PipeWire players,
    // which, too, run their sound in the server's realtime threads on a desktop.
    const auto player = [&](const char* name, int frequency, double level, std::vector<std::string> target) {
        const std::string wav = rig.runtimeDir() + "/" + name + ".wav";
        const auto sine = "aevalsrc=" + std::to_string(level) + "*sin(2*PI*" + std::to_string(frequency) + "*t):s=48000";
        EXPECT_EQ(runCommand({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", sine, "-t", "20", "-y", wav}).exitCode, 0);
        target.insert(target.begin(), {"nice", "-n", "-10", "pw-play"});
        target.push_back(wav);
        return ChildProcess(target);
    };
    ChildProcess computer = player("computer", 1000, 0.3, {}), speaker = player("mic", 440, 0.5, {"--target", "testmic"});
    ChildProcess hog({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=30,noise=alls=40:allf=t",
                      "-c:v", "libx264", "-preset", "veryfast", "-f", "null", "-"});
    ASSERT_TRUE(computer.started() && speaker.started() && hog.started());
    MixedSoundSource source({{std::make_shared<MicrophoneSource>(MicrophoneDevice{"testmic", "Test microphone", false}), true},
                             {std::make_shared<ComputerSoundSource>(), false}});
    testing::Frames delivered;
    source.start(delivered.deliver());
    // Once the streams have settled, six seconds as a take would have them.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    // Both streams go through PipeWire, which runs every stream at the shortest period one
    // asks for: the recorder must not shorten the desktop's, or the server drops whole
    // periods of everyone's sound.
    const auto graph = nlohmann::json::parse(runCommand({"pw-dump"}, false).output, nullptr, false);
    std::vector<int> periods;  // the frames each of the recorder's streams asks for
    for (const auto& object : graph.is_array() ? graph : nlohmann::json::array()) {
        const auto props = object.value("/info/props"_json_pointer, nlohmann::json::object());
        if (object.value("type", "") == "PipeWire:Interface:Node" &&
            props.value("application.name", "") == PulseSourceReader::applicationName)
            periods.push_back(std::atoi(props.value("node.latency", "0").c_str()));  // "1024/48000"
    }
    EXPECT_THAT(periods, ::testing::ElementsAre(::testing::Ge(1024), ::testing::Ge(1024)));
    const MediaTime from = hostNow();
    std::this_thread::sleep_for(std::chrono::seconds(6));
    const MediaTime to = hostNow();
    source.deliverUntil(to);
    source.stop();

    std::lock_guard lock(delivered.mutex);
    std::vector<float> sound;
    std::optional<MediaTime> first, end;
    int gaps = 0;
    for (const auto& b : delivered.buffers) {
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
    const double sine = testing::levelAt(sound, 440, 48'000), level = testing::levelAt(sound, 1000, 48'000);
    EXPECT_LE(longest, 240u) << "a silent stretch over 5 ms";
    EXPECT_NEAR(sine, 0.5, 0.05) << "the microphone";
    EXPECT_NEAR(level, 0.3, 0.05) << "the computer's sound";
}

}  // namespace
}  // namespace brindlow
