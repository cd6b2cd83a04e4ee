#include "FFmpeg/FFmpegSegmentEncoder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "FFmpeg/X264Stream.h"
#include "MP4Boxes.h"
#include "RecorderError.h"
#include "RecordingClock.h"
#include "Support/Subprocess.h"
#include "Support/FlashesAndClicks.h"
#include "Support/SyntheticMedia.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

using namespace std::chrono_literals;

// Everything a writer delivered, in order, and the stream they make.
struct Capture {
    std::mutex mutex;
    std::vector<StreamSegment> segments;

    SegmentEncoder::OnSegment sink() {
        return [this](StreamSegment s) {
            std::lock_guard lock(mutex);
            segments.push_back(std::move(s));
        };
    }
    std::filesystem::path writeStream() {
        const auto path = std::filesystem::temp_directory_path() / ("brindlow-stream-" + randomUUID() + ".mp4");
        std::ofstream out(path, std::ios::binary);
        for (const auto& s : segments) out.write(reinterpret_cast<const char*>(s.data.data()), std::streamsize(s.data.size()));
        return path;
    }
};

nlohmann::json probe(const std::vector<std::string>& extra, const std::filesystem::path& file) {
    std::vector<std::string> args{"ffprobe", "-v", "error", "-of", "json"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(file.string());
    const auto result = testing::runCommand(args);
    EXPECT_EQ(result.exitCode, 0) << "ffprobe failed on " << file;
    return nlohmann::json::parse(result.output.empty() ? "{}" : result.output);
}

double number(const nlohmann::json& j) { return j.is_string() ? std::stod(j.get<std::string>()) : j.get<double>(); }

struct Packet {
    double time;
    bool key;
};

std::vector<Packet> videoPackets(const std::filesystem::path& file) {
    const auto j = probe({"-select_streams", "v:0", "-show_entries", "packet=pts_time,flags"}, file);
    std::vector<Packet> packets;
    for (const auto& p : j["packets"]) packets.push_back({number(p["pts_time"]), p["flags"].get<std::string>()[0] == 'K'});
    return packets;
}

class FFmpegSegmentEncoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (testing::runCommand({"ffprobe", "-version"}).exitCode != 0) GTEST_SKIP() << "ffprobe is not installed";
    }
    void TearDown() override {
        if (std::getenv("BRINDLOW_KEEP_TEST_FILES")) {
            for (const auto& f : files) std::fprintf(stderr, "kept %s\n", f.c_str());
            return;
        }
        for (const auto& f : files) std::filesystem::remove(f);
    }

    std::unique_ptr<SegmentWriter> makeWriter(VideoSettings video, std::optional<AudioSettings> audio,
                                              FFmpegSegmentEncoder::Options options = {}) {
        options.logEncoderChoice = false;
        return std::make_unique<SegmentWriter>(video, audio, capture.sink(), FFmpegSegmentEncoder::factory(options));
    }
    // Feeds frames (and 10 ms audio buffers) for `seconds` of timeline, waiting for the
    // encoder so that nothing is dropped.
    void feed(SegmentWriter& writer, const VideoSettings& v, double seconds, bool withAudio, int64_t firstFrame = 0,
              MediaTime offset = MediaTime::zero()) {
        const int64_t frames = int64_t(seconds * double(v.fps));
        int64_t audioSent = firstFrame * 48'000 / v.fps;
        for (int64_t i = firstFrame; i < firstFrame + frames; ++i) {
            waitUntilReady(writer);
            writer.appendVideo(testing::videoSample(testing::movingPicture(int(v.width), int(v.height), i),
                                                    MediaTime(i, int32_t(v.fps)) + offset, int(v.fps)));
            while (withAudio && audioSent * v.fps < (i + 1) * 48'000) {
                writer.appendAudio(testing::sineSample(audioSent, 480, MediaTime(audioSent, 48'000) + offset));
                audioSent += 480;
            }
        }
    }
    static void waitUntilReady(SegmentWriter& writer) {
        for (int k = 0; k < 2000 && !writer.isReadyForVideo(); ++k) std::this_thread::sleep_for(1ms);
    }
    std::filesystem::path finishAndWrite(SegmentWriter& writer) {
        writer.finish();
        files.push_back(capture.writeStream());
        return files.back();
    }

    Capture capture;
    std::vector<std::filesystem::path> files;
};

// Around a pause the frames bunch up: two frames of the timeline can lie less than a
// frame interval apart, so 60 frames arrive before two seconds have passed. The frame
// count then forces a key frame; the next one must still be two seconds on, not at
// the next grid mark one frame later.
TEST_F(FFmpegSegmentEncoderTest, FramesBunchedByAPauseGetNoKeyFrameOneFrameAfterAnother) {
    const VideoSettings v{160, 120, 30, 500'000};
    auto writer = makeWriter(v, std::nullopt);
    feed(*writer, v, 1.5, false);  // frames 0..44 at 0 .. 1.467 s
    // Resumed 10 ms of timeline after the last frame before the pause.
    feed(*writer, v, 4.0, false, 45, MediaTime(-1, 30) + MediaTime(10, 1000));
    const auto packets = videoPackets(finishAndWrite(*writer));
    std::vector<double> keys;
    for (const auto& p : packets)
        if (p.key) keys.push_back(p.time);
    ASSERT_GE(keys.size(), 3u);
    for (size_t i = 1; i < keys.size(); ++i) EXPECT_GT(keys[i] - keys[i - 1], 1.9) << i << " " << nlohmann::json(keys).dump();
}

TEST_F(FFmpegSegmentEncoderTest, StreamIsHighProfileWithoutReorderingAtTheConfiguredSize) {
    const VideoSettings v{320, 240, 30, 1'000'000};
    auto writer = makeWriter(v, AudioSettings{});
    feed(*writer, v, 7.0, true);
    const auto file = finishAndWrite(*writer);
    EXPECT_EQ(writer->droppedVideoFrames(), 0);

    const auto info = probe({"-show_streams", "-show_format"}, file);
    ASSERT_EQ(info["streams"].size(), 2u);
    const auto& video = info["streams"][0];
    EXPECT_EQ(video["codec_name"], "h264");
    EXPECT_EQ(video["profile"], "High");
    EXPECT_EQ(video["has_b_frames"], 0);
    EXPECT_EQ(video["width"], 320);
    EXPECT_EQ(video["height"], 240);
    EXPECT_EQ(video["r_frame_rate"], "30/1");
    const auto& audio = info["streams"][1];
    EXPECT_EQ(audio["codec_name"], "aac");
    EXPECT_EQ(audio["profile"], "LC");
    EXPECT_EQ(audio["sample_rate"], "48000");
    EXPECT_EQ(audio["channels"], 1);
    // Audio and video end within one frame of each other, and the whole lasts the timeline.
    EXPECT_NEAR(number(video["duration"]), 7.0, 1.0 / 30 + 1e-6);
    EXPECT_NEAR(number(audio["duration"]), number(video["duration"]), 1.0 / 30 + 1e-6);
}

TEST_F(FFmpegSegmentEncoderTest, EveryMediaSegmentIsATwoSecondFragmentStartingWithAKeyFrame) {
    const VideoSettings v{320, 240, 30, 1'000'000};
    auto writer = makeWriter(v, AudioSettings{});
    feed(*writer, v, 9.0, true);
    const auto file = finishAndWrite(*writer);

    ASSERT_GE(capture.segments.size(), 5u);
    EXPECT_EQ(capture.segments[0].kind, StreamSegment::Kind::initialization);
    const auto& init = capture.segments[0].data;
    EXPECT_TRUE(MP4Boxes::find({"moov"}, init).has_value());
    EXPECT_FALSE(MP4Boxes::find({"moof"}, init).has_value());
    const uint32_t timescale = MP4Boxes::timescale(init);
    EXPECT_EQ(timescale, 90'000u);
    // The first track is the video track.
    const auto hdlr = MP4Boxes::find({"moov", "trak", "mdia", "hdlr"}, init);
    ASSERT_TRUE(hdlr.has_value());
    EXPECT_EQ(std::string(init.begin() + hdlr->offset + 16, init.begin() + hdlr->offset + 20), "vide");

    std::vector<double> starts;
    for (size_t i = 1; i < capture.segments.size(); ++i) {
        const auto& seg = capture.segments[i];
        EXPECT_EQ(seg.kind, StreamSegment::Kind::media);
        const auto top = MP4Boxes::boxes(seg.data);
        ASSERT_EQ(top.size(), 2u) << "segment " << i;
        EXPECT_EQ(top[0].type, "moof");
        EXPECT_EQ(top[1].type, "mdat");
        // Every track fragment carries its decode time.
        const auto trafs = MP4Boxes::boxes(seg.data, top[0].offset + top[0].header, top[0].offset + top[0].size);
        int trafCount = 0;
        for (const auto& b : trafs) {
            if (b.type != "traf") continue;
            ++trafCount;
            EXPECT_TRUE(MP4Boxes::find({"tfdt"}, seg.data, b.offset + b.header, b.offset + b.size)) << "segment " << i;
        }
        EXPECT_EQ(trafCount, 2) << "segment " << i;
        const auto decode = MP4Boxes::decodeTime(seg.data);
        ASSERT_TRUE(decode.has_value());
        starts.push_back(double(*decode) / timescale);
    }
    // Segments are 2 s apart (the last one shorter).
    for (size_t i = 1; i < starts.size(); ++i) EXPECT_NEAR(starts[i] - starts[i - 1], 2.0, 1.0 / 30 + 1e-6);

    // Key frames exactly at the segment starts, nowhere else.
    const auto packets = videoPackets(file);
    ASSERT_EQ(packets.size(), 270u);
    std::vector<double> keys;
    for (const auto& p : packets)
        if (p.key) keys.push_back(p.time);
    ASSERT_EQ(keys.size(), starts.size());
    for (size_t i = 0; i < keys.size(); ++i) EXPECT_NEAR(keys[i], starts[i], 1e-3);
}

TEST_F(FFmpegSegmentEncoderTest, PausedTimelineHasNoGap) {
    // Host-time capture with a 10 s pause, retimed by the take's clock as the session does.
    const VideoSettings v{320, 240, 30, 1'000'000};
    auto writer = makeWriter(v, AudioSettings{});
    RecordingClock clock;
    const MediaTime origin(1000, 1);
    clock.begin(origin);
    int64_t audioSent = 0;
    auto push = [&](MediaTime host, int64_t index) {
        waitUntilReady(*writer);
        if (auto f = clock.retime(testing::videoSample(testing::movingPicture(320, 240, index), host, 30)))
            writer->appendVideo(*f);
        // Ten 10 ms buffers stamped in host time.
        while (MediaTime(audioSent, 48'000) < MediaTime(index + 1, 30)) {
            const MediaTime at = host + MediaTime(audioSent, 48'000) - MediaTime(index, 30);
            if (auto a = clock.retime(testing::sineSample(audioSent, 480, at))) writer->appendAudio(*a);
            audioSent += 480;
        }
    };
    for (int64_t i = 0; i < 90; ++i) push(origin + MediaTime(i, 30), i);
    const MediaTime pauseAt = origin + MediaTime(90, 30);
    clock.pause(pauseAt);
    clock.resume(pauseAt + MediaTime(10, 1));
    for (int64_t i = 90; i < 180; ++i) push(origin + MediaTime(10, 1) + MediaTime(i, 30), i);
    clock.stop(origin + MediaTime(10, 1) + MediaTime(180, 30));
    const auto file = finishAndWrite(*writer);

    const auto packets = videoPackets(file);
    ASSERT_EQ(packets.size(), 180u);
    for (size_t i = 1; i < packets.size(); ++i) EXPECT_NEAR(packets[i].time - packets[i - 1].time, 1.0 / 30, 1e-3) << i;
    const auto info = probe({"-show_streams"}, file);
    EXPECT_NEAR(number(info["streams"][0]["duration"]), 6.0, 1.0 / 30 + 1e-6);
    EXPECT_NEAR(number(info["streams"][1]["duration"]), 6.0, 1.0 / 30 + 1e-6);
}

TEST_F(FFmpegSegmentEncoderTest, SlowEncoderDropsFramesWithoutBlocking) {
    // 4K at a very slow preset takes far longer per frame than the producer needs to
    // offer sixty of them; the frames share one picture so offering costs nothing.
    const VideoSettings v{3840, 2160, 30, 20'000'000};
    FFmpegSegmentEncoder::Options options;
    options.x264Preset = "veryslow";
    options.allowHardware = false;
    options.videoQueueCapacity = 1;
    auto writer = makeWriter(v, std::nullopt, options);
    const SampleBuffer picture = testing::videoSample(testing::movingPicture(3840, 2160, 1), MediaTime::zero(), 30);
    bool sawNotReady = false;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 60; ++i) {
        if (!writer->isReadyForVideo()) sawNotReady = true;
        writer->appendVideo(picture.withTiming({{MediaTime(1, 30), MediaTime(i, 30), MediaTime::invalid()}}));
    }
    const auto offering = std::chrono::steady_clock::now() - t0;
    EXPECT_TRUE(sawNotReady);
    EXPECT_GT(writer->droppedVideoFrames(), 0);
    // Sixty appends return long before the encoder could have taken them all.
    EXPECT_LT(offering, 2s);
    const auto file = finishAndWrite(*writer);
    const auto packets = videoPackets(file);
    EXPECT_EQ(int64_t(packets.size()) + writer->droppedVideoFrames(), 60);
    ASSERT_FALSE(packets.empty());
    EXPECT_TRUE(packets.front().key);
}

TEST(X264Stream, PresetStepsAndRepeatedPicturesKeepTheParameterSetsAndADecodableStream) {
    X264Stream stream({320, 240, 30, 1'000'000, 60, 90'000, "veryfast", 1});
    const std::vector<uint8_t> sets = stream.parameterSets();
    std::vector<uint8_t> annexB = sets;
    int packets = 0;
    auto take = [&](std::optional<X264Stream::Packet> packet) {
        if (!packet) return;
        annexB.insert(annexB.end(), packet->data.begin(), packet->data.end());
        ++packets;
    };
    for (int i = 0; i < 90; ++i) {
        if (i == 30) {
            EXPECT_TRUE(stream.changePreset("ultrafast"));
        }
        if (i == 60) {
            EXPECT_TRUE(stream.changePreset("superfast"));
        }
        // Frames 10 to 19 and 40 to 49 repeat one picture, across a preset change.
        const int shown = i > 10 && i < 20 ? 10 : i > 40 && i < 50 ? 40 : i;
        const VideoFrame picture = testing::movingPicture(320, 240, shown);
        const bool repeat = shown != i;
        take(stream.encode(&picture, i * 3000, i % 45 == 0, repeat));
    }
    while (stream.hasDelayedFrames()) take(stream.encode(nullptr, 0, false));
    EXPECT_EQ(stream.preset(), "superfast");
    EXPECT_EQ(stream.parameterSets(), sets);
    EXPECT_EQ(packets, 90);

    const auto file = std::filesystem::temp_directory_path() / ("brindlow-steps-" + randomUUID() + ".h264");
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(annexB.data()), std::streamsize(annexB.size()));
    const auto decoded = testing::runCommand({"ffmpeg", "-v", "error", "-xerror", "-f", "h264", "-i", file.string(),
                                              "-fps_mode", "passthrough", "-f", "framecrc", "-"});
    std::filesystem::remove(file);
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

// Luma PSNR of each decoded picture of an Annex B stream against the pictures given.
std::vector<double> lumaPSNR(const std::vector<uint8_t>& annexB, const std::vector<VideoFrame>& pictures) {
    const auto file = std::filesystem::temp_directory_path() / ("brindlow-quality-" + randomUUID() + ".h264");
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(annexB.data()), std::streamsize(annexB.size()));
    const auto decoded = testing::runCommand({"ffmpeg", "-v", "error", "-f", "h264", "-i", file.string(), "-fps_mode",
                                              "passthrough", "-pix_fmt", "gray", "-f", "rawvideo", "-"});
    std::filesystem::remove(file);
    std::vector<double> psnr;
    const size_t size = size_t(pictures[0].width) * size_t(pictures[0].height);
    for (size_t i = 0; i < pictures.size() && (i + 1) * size <= decoded.output.size(); ++i) {
        double error = 0;
        for (size_t p = 0; p < size; ++p) {
            const double d = double(uint8_t(decoded.output[i * size + p])) - pictures[i].lumaPlane()[p];
            error += d * d;
        }
        psnr.push_back(10 * std::log10(255.0 * 255.0 / std::max(error / double(size), 1e-3)));
    }
    return psnr;
}

// A still moment (repeated pictures, coded with the cheapest settings) must not lower the
// quality of what follows: the same motion at the same bit rate, with and without a still
// second before it.
TEST(X264Stream, AStillMomentLeavesTheQualityOfTheMotionAfterIt) {
    constexpr int width = 320, height = 240, motion = 60;
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
        const auto psnr = lumaPSNR(annexB, shown);
        EXPECT_EQ(psnr.size(), shown.size());
        double sum = 0;
        for (size_t i = size_t(still); i < psnr.size(); ++i) sum += psnr[i];
        return sum / motion;
    };
    const double plain = encodeWithStill(0), afterStill = encodeWithStill(30);
    std::printf("motion after a still second: %.2f dB, without one: %.2f dB\n", afterStill, plain);
    EXPECT_GT(afterStill, plain - 0.2);
}

TEST_F(FFmpegSegmentEncoderTest, RejectsSettingsNoEncoderTakes) {
    try {
        makeWriter({1, 0, 30, 1'000'000}, std::nullopt);
        FAIL() << "no error";
    } catch (const RecorderError& e) {
        EXPECT_EQ(e, RecorderError::encoderUnavailable("video input rejected"));
    }
    try {
        makeWriter({64, 64, 30, 1'000'000}, AudioSettings{48'000, 7});
        FAIL() << "no error";
    } catch (const RecorderError& e) {
        EXPECT_EQ(e, RecorderError::encoderUnavailable("audio input rejected"));
    }
}

TEST_F(FFmpegSegmentEncoderTest, CancelledWriterDeliversNothingMore) {
    const VideoSettings v{160, 120, 30, 500'000};
    auto writer = makeWriter(v, std::nullopt);
    feed(*writer, v, 1.0, false);
    writer->cancel();
    const size_t delivered = capture.segments.size();
    writer->appendVideo(testing::videoSample(testing::movingPicture(160, 120, 99), MediaTime(99, 30), 30));
    EXPECT_EQ(capture.segments.size(), delivered);
    EXPECT_LE(delivered, 1u);  // at most the header: no fragment was complete
}

TEST(FFmpegPresetChoice, FollowsThePixelRate) {
    auto settings = [](int64_t w, int64_t h, int64_t fps) {
        return SegmentWriter::videoOutputSettings({w, h, fps, 8'000'000});
    };
    EXPECT_EQ(FFmpegSegmentEncoder::presetFor(settings(1920, 1080, 30)), "veryfast");
    EXPECT_EQ(FFmpegSegmentEncoder::presetFor(settings(1280, 720, 60)), "superfast");
    EXPECT_EQ(FFmpegSegmentEncoder::presetFor(settings(1920, 1080, 60)), "superfast");
    EXPECT_EQ(FFmpegSegmentEncoder::presetFor(settings(3840, 2160, 30)), "ultrafast");
}

}  // namespace
}  // namespace brindlow

namespace brindlow {
namespace {

// Video that flashes white and audio that clicks at the same media times, decoded
// back with ffmpeg: each flash and its click land where they were put. The first
// frame comes a little after the take's zero and the first audio a few milliseconds
// after it, as from real sources; frames bunch around a pause.
TEST_F(FFmpegSegmentEncoderTest, FlashesAndClicksStayTogetherOnTheTakesClock) {
    const VideoSettings v{160, 120, 30, 500'000};
    auto writer = makeWriter(v, AudioSettings{});
    const MediaTime firstFrame(20, 1000), firstAudio(4, 1000);
    const std::set<int64_t> flashFrames{15, 45, 100, 160};
    // Resumed after a pause: the timeline goes on 10 ms after the last frame before it.
    const int64_t resumeFrame = 70;
    const MediaTime pauseShift = MediaTime(-1, 30) + MediaTime(10, 1000);
    auto frameTime = [&](int64_t n) { return firstFrame + MediaTime(n, 30) + (n >= resumeFrame ? pauseShift : MediaTime::zero()); };
    std::vector<double> intended;
    for (int64_t n : flashFrames) intended.push_back(frameTime(n).seconds());

    int64_t audioSample = firstAudio.convertedTo(48'000).value();  // in 48 kHz samples of media time
    for (int64_t n = 0; n < 200; ++n) {
        waitUntilReady(*writer);
        const MediaTime at = frameTime(n);
        writer->appendVideo(testing::videoSample(testing::flatPicture(160, 120, flashFrames.count(n) ? 235 : 16), at, 30));
        // Audio up to the next frame, clicking for 2 ms from each flash's time.
        const int64_t until = frameTime(n + 1).convertedTo(48'000).value();
        while (audioSample < until) {
            AudioSamples pcm{48'000, 1, std::vector<float>(480, 0.0f)};
            for (int i = 0; i < 480; ++i) {
                for (double t : intended) {
                    const int64_t click = std::llround(t * 48'000);
                    if (audioSample + i >= click && audioSample + i < click + 96) pcm.samples[size_t(i)] = 0.9f;
                }
            }
            writer->appendAudio(SampleBuffer::audio(std::move(pcm), {MediaTime(480, 48'000), MediaTime(audioSample, 48'000),
                                                                     MediaTime::invalid()}));
            audioSample += 480;
        }
    }
    const auto file = finishAndWrite(*writer);
    const auto video = testing::decodeFlashes(file);
    const auto audio = testing::decodeClicks(file);
    EXPECT_NEAR(video.firstFrame, 0.0, 1e-6) << "the video starts at the take's zero";
    EXPECT_NEAR(audio.start, 0.0, 1e-6) << "the audio starts at the take's zero";
    EXPECT_TRUE(audio.regularPackets);
    ASSERT_EQ(video.flashes.size(), intended.size()) << nlohmann::json(video.flashes).dump();
    ASSERT_EQ(audio.clicks.size(), intended.size()) << nlohmann::json(audio.clicks).dump();
    for (size_t i = 0; i < intended.size(); ++i) {
        std::printf("flash %zu: intended %.4f s, video %.4f s, audio %.4f s, audio - video %+.1f ms\n", i, intended[i],
                    video.flashes[i], audio.clicks[i], (audio.clicks[i] - video.flashes[i]) * 1000);
        EXPECT_NEAR(video.flashes[i], intended[i], 0.005) << i;
        EXPECT_NEAR(audio.clicks[i], intended[i], 0.005) << i;
    }
}

}  // namespace
}  // namespace brindlow
