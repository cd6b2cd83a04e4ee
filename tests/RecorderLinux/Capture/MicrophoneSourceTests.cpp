#include "Capture/MicrophoneSource.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <numbers>

#include "RecorderError.h"
#include "Support/PulseAudioProcess.h"
#include "Support/SyntheticMedia.h"

namespace brindlow {
namespace {

using testing::shareAt;

class MicrophoneOnPulseAudio : public ::testing::Test {
protected:
    void SetUp() override {
        if (!pulse.ready()) GTEST_SKIP() << "PulseAudio could not be started (Debian packages pulseaudio pulseaudio-utils)";
        pulse.use();
    }
    void TearDown() override { unsetenv("PULSE_SERVER"); }

    // Records `id` until `count` buffers arrived.
    std::vector<SampleBuffer> record(const std::string& id, size_t count) {
        MicrophoneSource source({id, id, false});
        std::mutex mutex;
        std::condition_variable arrived;
        std::vector<SampleBuffer> buffers;
        source.start([&](const SampleBuffer& b) {
            std::lock_guard lock(mutex);
            buffers.push_back(b);
            arrived.notify_all();
        });
        {
            std::unique_lock lock(mutex);
            arrived.wait_for(lock, std::chrono::seconds(15), [&] { return buffers.size() >= count; });
        }
        source.stop();
        std::lock_guard lock(mutex);
        return buffers;
    }

    testing::PulseAudioProcess pulse;
};

TEST_F(MicrophoneOnPulseAudio, ListsSourcesWithoutMonitorsAndMarksTheDefault) {
    const auto devices = MicrophoneSource::available();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].id, "sine440");
    EXPECT_TRUE(devices[0].isDefault);
    EXPECT_FALSE(devices[0].name.empty());
    EXPECT_EQ(devices[1].id, "probemic");
    EXPECT_FALSE(devices[1].isDefault);
}

TEST_F(MicrophoneOnPulseAudio, RecordsTheSineAsContinuous48kMonoFloat) {
    const auto buffers = record("sine440", 150);
    ASSERT_GE(buffers.size(), 150u);
    std::vector<float> all;
    for (size_t i = 0; i < buffers.size(); ++i) {
        const AudioSamples* audio = buffers[i].audioSamples();
        ASSERT_NE(audio, nullptr);
        EXPECT_EQ(audio->sampleRate, 48000);
        EXPECT_EQ(audio->channels, 1);
        EXPECT_EQ(buffers[i].duration(), MediaTime(480, 48000));
        all.insert(all.end(), audio->samples.begin(), audio->samples.end());
    }
    EXPECT_GT(shareAt(all, 440, 48000), 0.9);
    EXPECT_LT(shareAt(all, 1000, 48000), 0.01);
}

TEST_F(MicrophoneOnPulseAudio, RealTimeStampsFollowEachOtherWithoutGaps) {
    const auto buffers = record("tone.monitor", 100);
    ASSERT_GE(buffers.size(), 100u);
    const MediaTime now = hostNow();
    for (size_t i = 1; i < buffers.size(); ++i)
        EXPECT_EQ(buffers[i].presentationTime(), buffers[i - 1].presentationTime() + buffers[i - 1].duration()) << i;
    // Stamped on the host clock: the last buffer was captured moments ago.
    const double age = (now - buffers.back().presentationTime()).seconds();
    EXPECT_GT(age, 0);
    EXPECT_LT(age, 2);
}

// Neither a missing source nor a missing server is a permission the user could grant.
TEST_F(MicrophoneOnPulseAudio, StartFailuresSayWhatFailed) {
    struct Case {
        const char* name;
        const char* server;  // PULSE_SERVER, or nothing for the test's own
        std::string source;
        std::string message;
    };
    const Case cases[] = {
        {"unknown source", nullptr, "no-such-source", "could not be started: No such entity"},
        {"no server", "unix:/nonexistent/brindlow-native", "sine440", "could not be started: Connection refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.server) setenv("PULSE_SERVER", c.server, 1);
        MicrophoneSource source({c.source, "Desk mic", false});
        try {
            source.start([](const SampleBuffer&) {});
            ADD_FAILURE() << "started";
        } catch (const MicrophoneError& error) {
            EXPECT_NE(std::string(error.what()).find("\"Desk mic\" " + c.message), std::string::npos) << error.what();
        } catch (const std::exception& error) {
            ADD_FAILURE() << "not a device error: " << error.what();
        }
        source.stop();
        if (c.server) pulse.use();
    }
}

TEST(Microphone, NoServerMeansNoDevices) {
    setenv("PULSE_SERVER", "unix:/nonexistent/brindlow-native", 1);
    EXPECT_TRUE(MicrophoneSource::available().empty());
    unsetenv("PULSE_SERVER");
}

}  // namespace
}  // namespace brindlow
