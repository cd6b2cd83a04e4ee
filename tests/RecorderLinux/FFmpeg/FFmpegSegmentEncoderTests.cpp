#include "FFmpeg/FFmpegSegmentEncoder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "FFmpeg/X264Stream.h"
#include "MP4Boxes.h"
#include "RecorderError.h"
#include "Support/ExpectError.h"
#include "Support/FlashesAndClicks.h"
#include "Support/Subprocess.h"
#include "Support/SyntheticMedia.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

using namespace std::chrono_literals;

struct Packet {
    double time;
    bool key;
};

std::vector<Packet> videoPackets(const std::filesystem::path& file) {
    std::vector<Packet> packets;
    const auto probed = testing::probeJSON({"-select_streams", "v:0", "-show_entries", "packet=pts_time,flags"}, file);
    for (const auto& p : probed["packets"])
        packets.push_back({testing::jsonSeconds(p["pts_time"]), p["flags"].get<std::string>()[0] == 'K'});
    return packets;
}

// An Annex B stream decoded by ffmpeg with `output` arguments; the exit code and what it wrote.
testing::CommandResult decodeAnnexB(const std::vector<uint8_t>& annexB, std::vector<std::string> output) {
    const auto file = std::filesystem::temp_directory_path() / ("brindlow-x264-" + randomUUID() + ".h264");
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(annexB.data()), std::streamsize(annexB.size()));
    std::vector<std::string> args{"ffmpeg", "-v", "error", "-xerror", "-f", "h264", "-i", file.string(), "-fps_mode", "passthrough"};
    args.insert(args.end(), output.begin(), output.end());
    auto decoded = testing::runCommand(args);
    std::filesystem::remove(file);
    return decoded;
}

class FFmpegSegmentEncoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (testing::runCommand({"ffprobe", "-version"}).exitCode != 0) GTEST_SKIP() << "ffprobe is not installed";
    }
    void TearDown() override {
        if (std::getenv("BRINDLOW_KEEP_TEST_FILES")) std::fprintf(stderr, "kept %s\n", file.c_str());
        else if (!file.empty()) std::filesystem::remove(file);
    }

    std::unique_ptr<SegmentWriter> makeWriter(VideoSettings video, std::optional<AudioSettings> audio,
                                              FFmpegSegmentEncoder::Options options = {}) {
        options.logEncoderChoice = false;
        auto sink = [this](StreamSegment s) {
            std::lock_guard lock(mutex);
            segments.push_back(std::move(s));
        };
        return std::make_unique<SegmentWriter>(video, audio, sink, FFmpegSegmentEncoder::factory(options));
    }
    // Like a real take's sources: the first frame 20 ms after the take's zero, the first audio
    // 4 ms after it; from frame 70, as after a pause, the timeline goes on 10 ms after the last
    // frame, so frames bunch up and the frame count forces a key frame early.
    static MediaTime frameTime(int64_t n, int fps) {
        return MediaTime(20, 1000) + MediaTime(n, fps) + (n >= 70 ? MediaTime(-1, fps) + MediaTime(10, 1000) : MediaTime::zero());
    }
    // Waits for the encoder before each frame, so that nothing is dropped.
    static void feed(SegmentWriter& writer, const VideoSettings& v, double seconds) {
        const int fps = int(v.fps);
        for (int64_t i = 0, audio = 192; i < int64_t(seconds * fps); ++i) {
            waitUntilReady(writer);
            writer.appendVideo(testing::videoSample(testing::movingPicture(int(v.width), int(v.height), i), frameTime(i, fps), fps));
            for (const int64_t until = frameTime(i + 1, fps).convertedTo(48'000).value(); audio < until; audio += 480)
                writer.appendAudio(testing::sineSample(audio, 480, MediaTime(audio, 48'000)));
        }
    }
    static void waitUntilReady(SegmentWriter& writer) {
        for (int k = 0; k < 2000 && !writer.isReadyForVideo(); ++k) std::this_thread::sleep_for(1ms);
    }
    std::filesystem::path finishAndWrite(SegmentWriter& writer) {
        writer.finish();
        file = std::filesystem::temp_directory_path() / ("brindlow-stream-" + randomUUID() + ".mp4");
        std::ofstream out(file, std::ios::binary);
        for (const auto& s : segments) out.write(reinterpret_cast<const char*>(s.data.data()), std::streamsize(s.data.size()));
        return file;
    }

    std::mutex mutex;
    std::vector<StreamSegment> segments;
    std::filesystem::path file;
};

// One stream checked for what players and the uploader rely on: High profile without
// reordering at the configured size, AAC beside it, both from the take's zero, a header then
// two-second fragments that each start with the only key frame in them, also after a key
// frame the frame count forced.
TEST_F(FFmpegSegmentEncoderTest, StreamIsHighProfileInTwoSecondFragmentsEachStartingWithAKeyFrame) {
    const VideoSettings v{320, 240, 30, 1'000'000};
    auto writer = makeWriter(v, AudioSettings{});
    feed(*writer, v, 9.0);
    const auto file = finishAndWrite(*writer);

    const auto info = testing::probeJSON({"-show_streams"}, file);
    ASSERT_EQ(info["streams"].size(), 2u);
    const auto &video = info["streams"][0], &audio = info["streams"][1];
    const nlohmann::json expected[] = {
        {{"codec_name", "h264"}, {"profile", "High"}, {"has_b_frames", 0}, {"width", 320}, {"height", 240}, {"r_frame_rate", "30/1"}},
        {{"codec_name", "aac"}, {"profile", "LC"}, {"sample_rate", "48000"}, {"channels", 1}}};
    for (size_t stream = 0; stream < 2; ++stream)
        for (const auto& [key, value] : expected[stream].items()) EXPECT_EQ(info["streams"][stream].value(key, nlohmann::json()), value) << key;
    // Audio and video end within one frame of each other, and the whole lasts the timeline.
    EXPECT_NEAR(testing::jsonSeconds(video["duration"]), 9.0, 1.0 / 30 + 1e-6);
    EXPECT_NEAR(testing::jsonSeconds(audio["duration"]), testing::jsonSeconds(video["duration"]), 1.0 / 30 + 1e-6);
    EXPECT_NEAR(testing::audioStart(file), 0.0, 1e-6);

    ASSERT_GE(segments.size(), 5u);
    EXPECT_EQ(segments[0].kind, StreamSegment::Kind::initialization);
    const auto& init = segments[0].data;
    EXPECT_TRUE(MP4Boxes::find({"moov"}, init).has_value());
    const uint32_t timescale = MP4Boxes::timescale(init);
    std::vector<double> starts;
    for (size_t i = 1; i < segments.size(); ++i) {
        SCOPED_TRACE("segment " + std::to_string(i));
        const auto& seg = segments[i];
        EXPECT_EQ(seg.kind, StreamSegment::Kind::media);
        const auto top = MP4Boxes::boxes(seg.data);
        ASSERT_EQ(top.size(), 2u);
        EXPECT_EQ(top[0].type, "moof");
        EXPECT_EQ(top[1].type, "mdat");
        const auto decode = MP4Boxes::decodeTime(seg.data);
        ASSERT_TRUE(decode.has_value());
        starts.push_back(double(*decode) / timescale);
    }
    for (size_t i = 1; i < starts.size(); ++i) EXPECT_NEAR(starts[i] - starts[i - 1], 2.0, 1.0 / 30 + 1e-6);
    const auto packets = videoPackets(file);
    // The first picture is shown from the take's zero, and again where it was put.
    ASSERT_EQ(packets.size(), 271u);
    EXPECT_NEAR(packets[0].time, 0.0, 1e-6);
    EXPECT_NEAR(packets[1].time, frameTime(0, 30).seconds(), 1e-3);
    std::vector<double> keys;
    for (const auto& p : packets)
        if (p.key) keys.push_back(p.time);
    ASSERT_EQ(keys.size(), starts.size());
    for (size_t i = 0; i < keys.size(); ++i) EXPECT_NEAR(keys[i], starts[i], 1e-3);
}

// 4K at a very slow preset takes far longer per frame than offering sixty frames of one
// picture does: the writer drops frames rather than block, and the stream still starts
// with a key frame.
TEST_F(FFmpegSegmentEncoderTest, SlowEncoderDropsFramesWithoutBlocking) {
    FFmpegSegmentEncoder::Options options;
    options.x264Preset = "veryslow";
    options.allowHardware = false;
    options.videoQueueCapacity = 1;
    auto writer = makeWriter({3840, 2160, 30, 20'000'000}, std::nullopt, options);
    const SampleBuffer picture = testing::videoSample(testing::movingPicture(3840, 2160, 1), MediaTime::zero(), 30);
    for (int i = 0; i < 60; ++i) writer->appendVideo(picture.withTiming({{MediaTime(1, 30), MediaTime(i, 30), MediaTime::invalid()}}));
    EXPECT_GT(writer->droppedVideoFrames(), 0);
    const auto packets = videoPackets(finishAndWrite(*writer));
    EXPECT_EQ(int64_t(packets.size()) + writer->droppedVideoFrames(), 60);
    ASSERT_FALSE(packets.empty());
    EXPECT_TRUE(packets.front().key);
}

TEST_F(FFmpegSegmentEncoderTest, RejectsSettingsNoEncoderTakes) {
    EXPECT_EQ(testing::errorFrom<RecorderError>([&] { makeWriter({1, 0, 30, 1'000'000}, std::nullopt); }),
              RecorderError::encoderUnavailable("video input rejected"));
    EXPECT_EQ(testing::errorFrom<RecorderError>([&] { makeWriter({64, 64, 30, 1'000'000}, AudioSettings{48'000, 7}); }),
              RecorderError::encoderUnavailable("audio input rejected"));
}

TEST_F(FFmpegSegmentEncoderTest, CancelledWriterDeliversNothingMore) {
    const VideoSettings v{160, 120, 30, 500'000};
    auto writer = makeWriter(v, std::nullopt);
    feed(*writer, v, 1.0);
    writer->cancel();
    const size_t delivered = segments.size();
    writer->appendVideo(testing::videoSample(testing::movingPicture(160, 120, 99), MediaTime(99, 30), 30));
    EXPECT_EQ(segments.size(), delivered);
    EXPECT_LE(delivered, 1u);  // at most the header: no fragment was complete
}

TEST(FFmpegPresetChoice, FollowsThePixelRate) {
    const std::tuple<int64_t, int64_t, int64_t, const char*> cases[] = {
        {1920, 1080, 30, "veryfast"}, {1280, 720, 60, "superfast"}, {1920, 1080, 60, "superfast"}, {3840, 2160, 30, "ultrafast"}};
    for (const auto& [w, h, fps, preset] : cases)
        EXPECT_EQ(FFmpegSegmentEncoder::presetFor(SegmentWriter::videoOutputSettings({w, h, fps, 8'000'000})), preset) << w;
}

TEST(X264Stream, PresetStepsAndRepeatedPicturesKeepTheParameterSetsAndADecodableStream) {
    X264Stream stream({320, 240, 30, 1'000'000, 60, 90'000, "veryfast", 1});
    const std::vector<uint8_t> sets = stream.parameterSets();
    std::vector<uint8_t> annexB = sets;
    int packets = 0;
    auto take = [&](std::optional<X264Stream::Packet> packet) {
        if (packet) annexB.insert(annexB.end(), packet->data.begin(), packet->data.end()), ++packets;
    };
    for (int i = 0; i < 90; ++i) {
        if (i == 30 || i == 60) {
            EXPECT_TRUE(stream.changePreset(i == 30 ? "ultrafast" : "superfast"));
        }
        // Frames 10 to 19 and 40 to 49 repeat one picture, across a preset change.
        const int shown = i > 10 && i < 20 ? 10 : i > 40 && i < 50 ? 40 : i;
        const VideoFrame picture = testing::movingPicture(320, 240, shown);
        take(stream.encode(&picture, i * 3000, i % 45 == 0, shown != i));
    }
    while (stream.hasDelayedFrames()) take(stream.encode(nullptr, 0, false));
    EXPECT_EQ(stream.preset(), "superfast");
    EXPECT_EQ(stream.parameterSets(), sets);
    EXPECT_EQ(packets, 90);

    const auto decoded = decodeAnnexB(annexB, {"-f", "framecrc", "-"});
    EXPECT_EQ(decoded.exitCode, 0);
    std::vector<std::string> checksums;  // framecrc's last column, one per decoded picture
    std::istringstream lines(decoded.output);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#') checksums.push_back(line.substr(line.rfind(',') + 1));
    ASSERT_EQ(checksums.size(), 90u);
    // Past the few refining repeats, a repeat decodes to exactly the picture before it.
    for (int i = 15; i < 20; ++i) EXPECT_EQ(checksums[size_t(i)], checksums[14]) << i;
    EXPECT_NE(checksums[20], checksums[19]);
}

// A smooth pattern panning by a fraction of a pixel each frame: only sub-pixel motion
// search codes it well.
VideoFrame panningPicture(int width, int height, int64_t index) {
    VideoFrame frame = VideoFrame::make(width, height);
    const double shift = 0.37 * double(index);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            frame.lumaPlane()[size_t(y) * size_t(frame.strideY) + size_t(x)] =
                uint8_t(128 + 60 * std::sin((x + shift) * 0.5) * std::cos(y * 0.17 + shift * 0.09) +
                        30 * std::sin((x + shift) * 0.05 + y * 0.3));
    std::fill(frame.chromaPlane().begin(), frame.chromaPlane().end(), uint8_t(128));
    return frame;
}

// A still moment (repeated pictures, coded with the cheapest settings) must not lower the
// quality of what follows: the same motion at the same bit rate, with and without a still
// second before it.
TEST(X264Stream, AStillMomentLeavesTheQualityOfTheMotionAfterIt) {
    constexpr int width = 320, height = 240, motion = 60;
    constexpr size_t size = size_t(width) * height;
    auto encodeWithStill = [&](int still) {
        X264Stream stream({width, height, 30, 800'000, 60, 90'000, "veryfast", 1});
        std::vector<uint8_t> annexB = stream.parameterSets();
        std::vector<VideoFrame> shown;
        auto take = [&](std::optional<X264Stream::Packet> packet) {
            if (packet) annexB.insert(annexB.end(), packet->data.begin(), packet->data.end());
        };
        for (int i = 0; i < still + motion; ++i) {
            shown.push_back(panningPicture(width, height, std::max(0, i - still)));
            // The motion starts with a key frame either way, so both runs code it alike.
            take(stream.encode(&shown.back(), i * 3000, i == 0 || i == still, i > 0 && i <= still));
        }
        while (stream.hasDelayedFrames()) take(stream.encode(nullptr, 0, false));
        const std::string luma = decodeAnnexB(annexB, {"-pix_fmt", "gray", "-f", "rawvideo", "-"}).output;
        EXPECT_EQ(luma.size(), shown.size() * size);
        double psnr = 0;  // the motion's mean luma PSNR
        for (size_t i = size_t(still); (i + 1) * size <= luma.size(); ++i) {
            double error = 0;
            for (size_t p = 0; p < size; ++p) error += std::pow(double(uint8_t(luma[i * size + p])) - shown[i].lumaPlane()[p], 2);
            psnr += 10 * std::log10(255.0 * 255.0 / std::max(error / double(size), 1e-3)) / motion;
        }
        return psnr;
    };
    const double plain = encodeWithStill(0), afterStill = encodeWithStill(30);
    std::printf("motion after a still second: %.2f dB, without one: %.2f dB\n", afterStill, plain);
    EXPECT_GT(afterStill, plain - 0.2);
}

}  // namespace
}  // namespace brindlow
