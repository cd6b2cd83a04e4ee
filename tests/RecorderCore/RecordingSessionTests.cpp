// The recording session through the real writer, uploader and registration, with
// synthetic sources, against the devserver over loopback.

#include "RecordingSession.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <future>
#include <set>

#include "FFmpeg/FFmpegSegmentEncoder.h"
#include "MP4Boxes.h"
#include "RecorderError.h"
#include "Support/AtomicFile.h"
#include "Support/DevServerProcess.h"
#include "Support/FakeSources.h"
#include "Support/FlashesAndClicks.h"
#include "Support/Subprocess.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Phase = RecordingSession::Phase;
using namespace std::chrono_literals;

// Telemetry as the session reports it.
class RecordedTelemetry : public TelemetrySink {
public:
    struct Event {
        std::string name;
        std::optional<std::string> aid;
        TelemetryProps props;
    };
    void record(TelemetryEvent event, std::optional<std::string> aid, const TelemetryProps& props) override {
        std::lock_guard lock(mutex);
        events.push_back({std::string(rawValue(event)), std::move(aid), props});
    }
    void notePhase(std::string_view phase, std::optional<std::string> aid) override {
        std::lock_guard lock(mutex);
        phases.push_back(std::string(phase) + (aid ? "/" + *aid : ""));
    }
    std::vector<std::string> names() {
        std::lock_guard lock(mutex);
        std::vector<std::string> out;
        for (const auto& e : events) out.push_back(e.name);
        return out;
    }
    Event last() {
        std::lock_guard lock(mutex);
        return events.back();
    }
    std::mutex mutex;
    std::vector<Event> events;
    std::vector<std::string> phases;
};

// An encoder that fails when asked to finish, as one whose disk vanished would.
class FailingAtFinish final : public SegmentEncoder {
public:
    explicit FailingAtFinish(std::unique_ptr<SegmentEncoder> inner) : inner_(std::move(inner)) {}
    void startWriting() override { inner_->startWriting(); }
    bool isReadyForVideo() const override { return inner_->isReadyForVideo(); }
    bool isReadyForAudio() const override { return inner_->isReadyForAudio(); }
    bool appendVideo(const SampleBuffer& frame) override { return inner_->appendVideo(frame); }
    bool appendAudio(const SampleBuffer& buffer) override { return inner_->appendAudio(buffer); }
    void markVideoFinished() override { inner_->markVideoFinished(); }
    void markAudioFinished() override { inner_->markAudioFinished(); }
    void finishWriting() override {
        inner_->cancelWriting();
        failed_ = true;
    }
    void cancelWriting() override { inner_->cancelWriting(); }
    Status status() const override { return failed_ ? Status::failed : inner_->status(); }
    std::exception_ptr error() const override {
        return failed_ ? std::make_exception_ptr(EncoderError("the disk went away")) : inner_->error();
    }

private:
    std::unique_ptr<SegmentEncoder> inner_;
    std::atomic<bool> failed_{false};
};

class RecordingSessionTest : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(spool); }

    std::shared_ptr<RecordingSession> session(std::shared_ptr<CaptureSource> screen,
                                              std::shared_ptr<CaptureSource> camera = nullptr,
                                              std::shared_ptr<CaptureSource> mic = nullptr,
                                              SegmentEncoderFactory encoder = {}) {
        auto made = RecordingSession::make(api, user, std::make_shared<HTTPObjectPutter>(server.transport()), spool,
                                           std::move(screen), std::move(camera), std::move(mic), std::nullopt, options,
                                           encoder ? encoder : FFmpegSegmentEncoder::factory(quiet()));
        made->setTelemetry(telemetry);
        made->setOnPhase([this](const Phase& p) {
            std::lock_guard lock(telemetry->mutex);
            seen.push_back(p);
        });
        return made;
    }
    static FFmpegSegmentEncoder::Options quiet() {
        FFmpegSegmentEncoder::Options o;
        o.logEncoderChoice = false;
        o.allowHardware = false;
        return o;
    }
    static std::shared_ptr<testing::FakeVideoSource> screenSource(bool frames = true) {
        return std::make_shared<testing::FakeVideoSource>(CaptureSize{320, 240}, 30, frames);
    }
    static std::shared_ptr<testing::FakeVideoSource> cameraSource() {
        return std::make_shared<testing::FakeVideoSource>(CaptureSize{160, 120}, 30);
    }
    json recording(const std::string& aid) const { return server.state(aid).at("recordings").at(0); }
    // The uploaded ranges of one stream, in order, in a file for ffprobe.
    fs::path uploadedStream(const std::string& aid, const std::string& stream) const {
        fs::create_directories(spool);
        return server.storedStream(aid, stream, spool / (aid + "-" + stream + ".mp4"));
    }
    static json probe(const fs::path& file) {
        const auto result = testing::runCommand(
            {"ffprobe", "-v", "error", "-of", "json", "-show_streams", "-show_format", file.string()});
        return json::parse(result.output.empty() ? "{}" : result.output);
    }
    static double number(const json& j) { return j.is_string() ? std::stod(j.get<std::string>()) : j.get<double>(); }

    testing::DevServerProcess server;
    BrindlowAPI api = server.api("alice");
    RecorderUser user = api.fetchUser("alice");
    fs::path spool = fs::temp_directory_path() / ("brindlow-spool-" + randomUUID());
    RecordingSession::Options options = [] {
        RecordingSession::Options o;
        o.limits.minRangeBytes = 64 * 1024;
        o.limits.minRangeSeconds = 1;
        o.heartbeatSeconds = 0;
        return o;
    }();
    std::shared_ptr<RecordedTelemetry> telemetry = std::make_shared<RecordedTelemetry>();
    std::vector<Phase> seen;
};

TEST_F(RecordingSessionTest, ScreenAndMicAreSavedWithTheAudioInTheScreenStream) {
    auto recorder = session(screenSource(), nullptr, std::make_shared<testing::FakeMicSource>());
    recorder->prepare();
    const std::string aid = recorder->begin();
    EXPECT_EQ(aid.size(), 36u);
    EXPECT_EQ(std::count_if(aid.begin(), aid.end(), [](char c) { return std::isupper(static_cast<unsigned char>(c)); }), 0);
    std::this_thread::sleep_for(1500ms);
    const auto saved = recorder->stop();
    EXPECT_EQ(saved.aid, aid);
    ASSERT_TRUE(saved.folderId);
    EXPECT_NEAR(saved.durationSeconds, 1.5, 0.3);

    const json rec = recording(aid);
    EXPECT_EQ(rec.at("status"), "saved");
    EXPECT_EQ(rec.at("folderId"), *saved.folderId);
    EXPECT_TRUE(rec.at("check").at("ok").get<bool>()) << rec.at("check").dump();
    EXPECT_NEAR(number(rec.at("asset").at("durationSeconds")), saved.durationSeconds, 1e-6);
    const json streams = probe(uploadedStream(aid, "screen")).at("streams");
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams.at(1).at("codec_type"), "audio");
    EXPECT_EQ(streams.at(1).at("sample_rate"), "48000");
    EXPECT_EQ(streams.at(1).at("channels"), 1);

    EXPECT_EQ(telemetry->names(), (std::vector<std::string>{"take_started", "take_stopped", "take_saved"}));
    const auto& started = telemetry->events.at(0).props;
    EXPECT_EQ(started.at("screen"), TelemetryValue(true));
    EXPECT_EQ(started.at("camera"), TelemetryValue(false));
    EXPECT_EQ(started.at("mic"), TelemetryValue(true));
    EXPECT_EQ(started.at("width"), TelemetryValue(320));
    EXPECT_EQ(telemetry->last().props.at("hasFolder"), TelemetryValue(true));
    EXPECT_EQ(telemetry->last().props.at("droppedFrames"), TelemetryValue(0));
    // finishing is reported by stop (without an id) and by save (with it); saved without.
    EXPECT_EQ(telemetry->phases, (std::vector<std::string>{"armed", "recording/" + aid, "finishing",
                                                           "finishing/" + aid, "saved"}));
    recorder->releaseSources();
}

// A real encoder that takes no frames for its first half second, as a loaded machine would.
class StallingEncoder : public SegmentEncoder {
public:
    explicit StallingEncoder(std::unique_ptr<SegmentEncoder> inner) : inner_(std::move(inner)) {}
    void startWriting() override {
        started_ = std::chrono::steady_clock::now();
        inner_->startWriting();
    }
    bool isReadyForVideo() const override {
        return std::chrono::steady_clock::now() - started_ > 500ms && inner_->isReadyForVideo();
    }
    bool isReadyForAudio() const override { return inner_->isReadyForAudio(); }
    bool appendVideo(const SampleBuffer& frame) override { return isReadyForVideo() && inner_->appendVideo(frame); }
    bool appendAudio(const SampleBuffer& buffer) override { return inner_->appendAudio(buffer); }
    void markVideoFinished() override { inner_->markVideoFinished(); }
    void markAudioFinished() override { inner_->markAudioFinished(); }
    void finishWriting() override { inner_->finishWriting(); }
    void cancelWriting() override { inner_->cancelWriting(); }
    Status status() const override { return inner_->status(); }
    std::exception_ptr error() const override { return inner_->error(); }

private:
    std::unique_ptr<SegmentEncoder> inner_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

TEST_F(RecordingSessionTest, FramesAnEncoderCouldNotTakeAreCountedAndReported) {
    const auto real = FFmpegSegmentEncoder::factory(quiet());
    auto recorder = session(screenSource(), nullptr, nullptr,
                            [real](const VideoOutputSettings& v, const std::optional<AudioSettings>& a,
                                   SegmentEncoder::OnSegment onSegment) -> std::unique_ptr<SegmentEncoder> {
                                return std::make_unique<StallingEncoder>(real(v, a, std::move(onSegment)));
                            });
    recorder->prepare();
    recorder->begin();
    std::this_thread::sleep_for(1500ms);
    // Half a second at 30 fps, less the eight frames the writer holds back.
    const int64_t dropped = recorder->droppedFrames();
    EXPECT_GE(dropped, 4);
    EXPECT_LE(dropped, 10);
    recorder->stop();
    EXPECT_EQ(telemetry->last().name, "take_saved");
    EXPECT_EQ(telemetry->last().props.at("droppedFrames"), TelemetryValue(double(dropped)));
    recorder->releaseSources();
}

TEST_F(RecordingSessionTest, WithACameraTheMicGoesIntoTheCameraStream) {
    auto recorder = session(screenSource(), cameraSource(), std::make_shared<testing::FakeMicSource>());
    recorder->prepare();
    const std::string aid = recorder->begin();
    std::this_thread::sleep_for(1200ms);
    recorder->stop();
    EXPECT_EQ(probe(uploadedStream(aid, "screen")).at("streams").size(), 1u);
    const json camera = probe(uploadedStream(aid, "camera")).at("streams");
    ASSERT_EQ(camera.size(), 2u);
    EXPECT_EQ(camera.at(0).at("width"), 160);
    EXPECT_EQ(camera.at(1).at("codec_type"), "audio");
    const json rec = recording(aid);
    EXPECT_TRUE(rec.at("check").at("ok").get<bool>()) << rec.at("check").dump();
    // Final notices and indexes go screen first, then camera.
    std::vector<std::string> order;
    for (const auto& n : rec.at("notices"))
        if (n.at("kind") == "final" || n.at("kind") == "index")
            order.push_back(n.at("kind").get<std::string>() + ":" + n.at("body").at("stream").get<std::string>());
    EXPECT_EQ(order, (std::vector<std::string>{"final:screen", "index:screen", "final:camera", "index:camera"}));
    recorder->releaseSources();
}

TEST_F(RecordingSessionTest, AStreamWithoutFramesIsNothingRecorded) {
    auto recorder = session(screenSource(false));
    recorder->prepare();
    const std::string aid = recorder->begin();
    std::this_thread::sleep_for(300ms);
    try {
        recorder->stop();
        FAIL() << "saved";
    } catch (const RecorderError& error) {
        EXPECT_EQ(error, RecorderError::nothingRecorded());
    }
    EXPECT_EQ(recorder->phase(), Phase::failed("The recording came out empty. Please try again.", false));
    const json rec = recording(aid);
    EXPECT_EQ(rec.at("status"), "discarded");
    for (const auto& n : rec.at("notices")) EXPECT_TRUE(n.at("kind") != "final" && n.at("kind") != "index");
    EXPECT_EQ(telemetry->last().name, "take_discarded");
    EXPECT_EQ(telemetry->last().props.at("reason"), TelemetryValue("nothing_recorded"));
    EXPECT_THROW(recorder->save(), RecorderError);
}

TEST_F(RecordingSessionTest, ACameraWriterFailingAtTheEndFailsTheUploadUntilSavingAgainRecoversIt) {
    auto base = FFmpegSegmentEncoder::factory(quiet());
    SegmentEncoderFactory encoder = [base](const VideoOutputSettings& video, const std::optional<AudioSettings>& audio,
                                           SegmentEncoder::OnSegment onSegment) -> std::unique_ptr<SegmentEncoder> {
        auto inner = base(video, audio, std::move(onSegment));
        if (video.width == 160) return std::make_unique<FailingAtFinish>(std::move(inner));
        return inner;
    };
    auto recorder = session(screenSource(), cameraSource(), nullptr, encoder);
    recorder->prepare();
    const std::string aid = recorder->begin();
    // Until the camera has spooled a whole fragment, which a loaded machine may take a while to encode.
    const fs::path cameraPart = spool / aid / "camera" / "000.part";
    for (int i = 0; i < 200; ++i) {
        const auto bytes = readFile(cameraPart).value_or("");
        const auto data = std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        if (!MP4Boxes::completeFragments(data).empty()) break;
        std::this_thread::sleep_for(50ms);
    }
    try {
        recorder->stop();
        FAIL() << "saved";
    } catch (const RecorderError& error) {
        EXPECT_EQ(error.kind(), RecorderError::Kind::uploadFailed);
        EXPECT_EQ(std::string(error.what()).rfind("We couldn't upload your recording (", 0), 0u) << error.what();
    }
    EXPECT_EQ(recorder->phase(), Phase::failed(RecordingSession::uploadFailedMessage, true));
    bool screenFinal = false;
    const json failed = recording(aid);  // kept: the loop reads into it
    for (const auto& n : failed.at("notices")) screenFinal |= n.at("kind") == "final";
    EXPECT_FALSE(screenFinal) << "finals are only sent once every stream finished";
    EXPECT_EQ(telemetry->last().props.at("stage"), TelemetryValue("upload"));
    // Saving again uploads what the camera spooled before its writer failed.
    recorder->save();
    const json rec = recording(aid);
    EXPECT_EQ(rec.at("status"), "saved");
    EXPECT_TRUE(rec.at("check").at("ok").get<bool>()) << rec.at("check").dump();
    recorder->releaseSources();
}

TEST_F(RecordingSessionTest, AFailedRegistrationCanBeSavedAgainWithASecondFolder) {
    auto recorder = session(screenSource());
    recorder->prepare();
    const std::string aid = recorder->begin();
    std::this_thread::sleep_for(500ms);
    server.setFault({{"route", "asset"}, {"status", 500}, {"times", 1}});
    EXPECT_THROW(recorder->stop(), HTTPError);
    EXPECT_EQ(recorder->phase(), Phase::failed(RecordingSession::saveFailedMessage, true));
    EXPECT_EQ(telemetry->last().props.at("stage"), TelemetryValue("save"));
    const auto saved = recorder->save();
    EXPECT_EQ(saved.aid, aid);
    EXPECT_EQ(recorder->phase(), Phase::saved(saved.folderId));
    EXPECT_EQ(server.state().at("folders").size(), 2u);
    EXPECT_EQ(recording(aid).at("status"), "saved");
    recorder->releaseSources();
}

TEST_F(RecordingSessionTest, AFailedFolderStillSavesWithoutOne) {
    server.setFault({{"route", "folders"}, {"status", 500}});
    auto recorder = session(screenSource());
    recorder->prepare();
    recorder->begin();
    std::this_thread::sleep_for(400ms);
    const auto saved = recorder->stop();
    EXPECT_FALSE(saved.folderId);
    EXPECT_EQ(recorder->phase(), Phase::saved(std::nullopt));
    EXPECT_EQ(telemetry->last().props.at("hasFolder"), TelemetryValue(false));
    recorder->releaseSources();
}

TEST_F(RecordingSessionTest, CancelWhileArmedOnlyStopsTheSources) {
    auto screen = screenSource();
    auto recorder = session(screen);
    recorder->prepare();
    recorder->cancel();
    EXPECT_TRUE(screen->stopped);
    EXPECT_EQ(recorder->phase(), Phase::of(Phase::Kind::idle));
    EXPECT_TRUE(telemetry->names().empty());
    EXPECT_THROW(recorder->stop(), RecorderError);
}

TEST_F(RecordingSessionTest, RestartWhilePausedDiscardsTheTakeAndItsSpool) {
    auto recorder = session(screenSource());
    recorder->prepare();
    const std::string aid = recorder->begin();
    std::this_thread::sleep_for(600ms);
    recorder->pause();
    EXPECT_EQ(recorder->phase().kind, Phase::Kind::paused);
    ASSERT_TRUE(fs::exists(spool / aid));
    recorder->restart();
    EXPECT_EQ(recorder->phase(), Phase::of(Phase::Kind::armed));
    EXPECT_FALSE(fs::exists(spool / aid / "screen"));
    const auto discarded = telemetry->last();
    EXPECT_EQ(discarded.name, "take_discarded");
    EXPECT_EQ(discarded.props.at("reason"), TelemetryValue("restart"));
    EXPECT_NEAR(*discarded.props.at("seconds").number(), 0.6, 0.3);
    EXPECT_EQ(recording(aid).at("status"), "discarded");
    // And a new take can begin.
    EXPECT_NE(recorder->begin(), aid);
    recorder->cancel();
}

TEST_F(RecordingSessionTest, BeginIsOnlyForAnArmedSessionWithRoomOnDisk) {
    auto recorder = session(screenSource());
    EXPECT_THROW(recorder->begin(), RecorderError);  // not prepared
    recorder->prepare();
    recorder->setFreeSpace([this](const fs::path&) { return std::optional<int64_t>(options.minFreeDiskBytes - 1); });
    try {
        recorder->begin();
        FAIL() << "began";
    } catch (const RecorderError& error) {
        EXPECT_EQ(error, RecorderError::lowDiskSpace());
    }
    EXPECT_EQ(recorder->phase().kind, Phase::Kind::armed);
    EXPECT_EQ(server.state().at("recordings").size(), 0u);
    recorder->setFreeSpace([](const fs::path&) { return std::optional<int64_t>(); });  // unreadable passes
    const std::string aid = recorder->begin();
    try {
        recorder->begin();
        FAIL() << "began twice";
    } catch (const RecorderError& error) {
        EXPECT_EQ(error, RecorderError::encoderUnavailable("recorder is not ready"));
    }
    EXPECT_EQ(recorder->currentAid(), aid);
    recorder->cancel();
}

TEST_F(RecordingSessionTest, ExactlyTheMinimumFreeSpaceIsEnough) {
    auto recorder = session(screenSource());
    recorder->prepare();
    recorder->setFreeSpace([this](const fs::path&) { return std::optional<int64_t>(options.minFreeDiskBytes); });
    EXPECT_NO_THROW(recorder->begin());
    recorder->cancel();
}

TEST_F(RecordingSessionTest, TwoStopsRacingSaveOnce) {
    auto recorder = session(screenSource());
    recorder->prepare();
    recorder->begin();
    std::this_thread::sleep_for(400ms);
    auto first = std::async(std::launch::async, [&] { return recorder->stop(); });
    auto second = std::async(std::launch::async, [&] { return recorder->stop(); });
    int saved = 0, refused = 0;
    for (auto* f : {&first, &second}) {
        try {
            f->get();
            ++saved;
        } catch (const RecorderError& error) {
            EXPECT_EQ(error, RecorderError::nothingRecorded());
            ++refused;
        }
    }
    EXPECT_EQ(saved, 1);
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(recorder->phase().kind, Phase::Kind::saved);
    recorder->releaseSources();
}

TEST_F(RecordingSessionTest, TheDurationLimitStopsTheTakeAndPausesDoNotCount) {
    options.maxDurationSeconds = 2;
    auto recorder = session(screenSource());
    recorder->prepare();
    const auto began = std::chrono::steady_clock::now();
    recorder->begin();
    std::this_thread::sleep_for(500ms);
    recorder->pause();
    std::this_thread::sleep_for(1500ms);
    recorder->resume();
    // The watch stops the take on a thread of its own; its last act is reporting the phase.
    auto savedSeen = [this] {
        std::lock_guard lock(telemetry->mutex);
        return !seen.empty() && seen.back().kind == Phase::Kind::saved;
    };
    for (int i = 0; i < 100 && !savedSeen(); ++i) std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(savedSeen());
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_GE(wall, 3.4);
    std::lock_guard lock(telemetry->mutex);
    const auto stopped = std::find_if(telemetry->events.begin(), telemetry->events.end(),
                                      [](const auto& e) { return e.name == "take_stopped"; });
    ASSERT_NE(stopped, telemetry->events.end());
    EXPECT_GE(*stopped->props.at("seconds").number(), 2.0);
    EXPECT_LT(*stopped->props.at("seconds").number(), 3.2);
    recorder->releaseSources();
    std::this_thread::sleep_for(100ms);  // the stopping thread lets go of the session
}

// Sources that flash the picture white and click the sound at the same host times:
// video at origin + n/30 s, audio in 10 ms buffers from the origin.
struct FlashSchedule {
    MediaTime origin = hostNow() + MediaTime(300, 1000);
    std::vector<int64_t> flashFrames{30, 75, 120};

    MediaTime flashAt(int64_t frame) const { return origin + MediaTime(frame, 30); }
    static SteadyClock::time_point steady(MediaTime host) {
        return SteadyClock::time_point(std::chrono::nanoseconds(host.convertedTo(1'000'000'000).value()));
    }
};

class FlashingScreen final : public CaptureSource {
public:
    explicit FlashingScreen(FlashSchedule schedule) : schedule_(std::move(schedule)) {}
    ~FlashingScreen() override { stop(); }
    std::optional<CaptureSize> videoSize() const override { return CaptureSize{160, 120}; }
    void start(Deliver deliver) override {
        thread_ = std::jthread([this, deliver = std::move(deliver)](std::stop_token stop) {
            for (int64_t n = 0;; ++n) {
                const MediaTime at = schedule_.origin + MediaTime(n, 30);
                if (!sleepUntil(FlashSchedule::steady(at), stop)) return;
                const bool flash = std::count(schedule_.flashFrames.begin(), schedule_.flashFrames.end(), n) > 0;
                deliver(testing::videoSample(testing::flatPicture(160, 120, flash ? 235 : 16), at, 30));
            }
        });
    }
    void stop() override { thread_ = {}; }

private:
    FlashSchedule schedule_;
    std::jthread thread_;
};

class ClickingMic final : public CaptureSource {
public:
    explicit ClickingMic(FlashSchedule schedule) : schedule_(std::move(schedule)) {}
    ~ClickingMic() override { stop(); }
    std::optional<CaptureSize> videoSize() const override { return std::nullopt; }
    void start(Deliver deliver) override {
        thread_ = std::jthread([this, deliver = std::move(deliver)](std::stop_token stop) {
            for (int64_t k = 0;; ++k) {
                if (!sleepUntil(FlashSchedule::steady(schedule_.origin + MediaTime((k + 1) * 480, 48'000)), stop)) return;
                AudioSamples pcm{48'000, 1, std::vector<float>(480, 0.0f)};
                for (int64_t frame : schedule_.flashFrames) {
                    const int64_t click = frame * 48'000 / 30;  // in samples from the origin
                    for (int i = 0; i < 480; ++i)
                        if (k * 480 + i >= click && k * 480 + i < click + 96) pcm.samples[size_t(i)] = 0.9f;
                }
                deliver(SampleBuffer::audio(std::move(pcm), {MediaTime(480, 48'000),
                                                             schedule_.origin + MediaTime(k * 480, 48'000),
                                                             MediaTime::invalid()}));
            }
        });
    }
    void stop() override { thread_ = {}; }

private:
    FlashSchedule schedule_;
    std::jthread thread_;
};

// Flashes and clicks made at the same moments, recorded across two pauses, uploaded,
// then decoded with ffmpeg: each pair plays together and where the take's clock put it.
TEST_F(RecordingSessionTest, FlashesAndClicksPlayTogetherAcrossPauses) {
    const FlashSchedule schedule;
    auto recorder = session(std::make_shared<FlashingScreen>(schedule), nullptr, std::make_shared<ClickingMic>(schedule));
    auto at = [&](double seconds) { sleepUntil(FlashSchedule::steady(schedule.origin + MediaTime(int64_t(seconds * 1000), 1000)), {}); };
    // Where the take's clock stands at a host time, read while recording.
    struct Reading {
        double elapsed;
        MediaTime host;
    };
    auto read = [&] {
        const double elapsed = recorder->elapsedSeconds();
        return Reading{elapsed, hostNow()};
    };
    recorder->prepare();
    at(0.2);
    const std::string aid = recorder->begin();
    at(0.6);
    std::vector<Reading> readings{read()};
    at(1.4);
    recorder->pause();
    at(1.9);
    recorder->resume();
    at(2.1);
    readings.push_back(read());
    at(3.0);
    recorder->pause();
    at(3.3);
    recorder->resume();
    at(3.5);
    readings.push_back(read());
    at(4.6);
    recorder->stop();

    std::vector<double> intended;
    for (size_t i = 0; i < schedule.flashFrames.size(); ++i)
        intended.push_back(readings[i].elapsed + (schedule.flashAt(schedule.flashFrames[i]) - readings[i].host).seconds());
    const fs::path stream = uploadedStream(aid, "screen");
    const auto video = testing::decodeFlashes(stream);
    const auto audio = testing::decodeClicks(stream);
    EXPECT_NEAR(video.firstFrame, 0.0, 1e-6);
    EXPECT_NEAR(audio.start, 0.0, 1e-6);
    EXPECT_TRUE(audio.regularPackets);
    ASSERT_EQ(video.flashes.size(), intended.size()) << json(video.flashes).dump();
    ASSERT_EQ(audio.clicks.size(), intended.size()) << json(audio.clicks).dump();
    for (size_t i = 0; i < intended.size(); ++i) {
        std::printf("take flash %zu: intended %.4f s, video %+.1f ms, audio %+.1f ms, audio - video %+.1f ms\n", i,
                    intended[i], (video.flashes[i] - intended[i]) * 1000, (audio.clicks[i] - intended[i]) * 1000,
                    (audio.clicks[i] - video.flashes[i]) * 1000);
        EXPECT_NEAR(video.flashes[i], intended[i], 0.005) << i;
        EXPECT_NEAR(audio.clicks[i], intended[i], 0.005) << i;
        EXPECT_NEAR(audio.clicks[i], video.flashes[i], 0.005) << i;
    }
}

TEST_F(RecordingSessionTest, FiftyPausesKeepEveryStreamTheRecordedLengthAndInSync) {
    auto recorder = session(screenSource(), cameraSource(), std::make_shared<testing::FakeMicSource>());
    recorder->prepare();
    const std::string aid = recorder->begin();
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(70ms);
        recorder->pause();
        std::this_thread::sleep_for(30ms);
        recorder->resume();
    }
    std::this_thread::sleep_for(300ms);
    const auto saved = recorder->stop();
    EXPECT_NEAR(saved.durationSeconds, 50 * 0.07 + 0.3, 0.5);
    for (const char* stream : {"screen", "camera"}) {
        const json info = probe(uploadedStream(aid, stream));
        const double length = number(info.at("format").at("duration"));
        EXPECT_NEAR(length, saved.durationSeconds, 1.0 / 30 + 0.02) << stream;
        if (std::string(stream) == "camera") {
            ASSERT_EQ(info.at("streams").size(), 2u);
            const double video = number(info.at("streams").at(0).at("duration"));
            const double audio = number(info.at("streams").at(1).at("duration"));
            EXPECT_NEAR(video, audio, 0.040) << "audio and video drifted apart";
        }
    }
    recorder->releaseSources();
}

TEST_F(RecordingSessionTest, ThirtyPercentOfUploadsFailingStillSavesEverything) {
    server.setFault({{"route", "put"}, {"status", 500}, {"rate", 0.3}});
    auto recorder = session(screenSource(), cameraSource());
    recorder->prepare();
    const std::string aid = recorder->begin();
    std::this_thread::sleep_for(2500ms);
    const auto saved = recorder->stop();
    const json rec = recording(aid);
    EXPECT_EQ(rec.at("status"), "saved");
    EXPECT_TRUE(rec.at("check").at("ok").get<bool>()) << rec.at("check").dump();
    for (const auto& object : rec.at("objects")) EXPECT_EQ(object.at("puts"), 1) << object.dump();
    recorder->releaseSources();
}

TEST_F(RecordingSessionTest, AnObjectStoreDownKeepsTheSpoolUntilSavingAgainUploadsItOnce) {
    options.limits.maxAttempts = 3;
    options.limits.retryMaxSeconds = 0.2;
    server.setFault({{"route", "put"}, {"status", 503}});
    auto recorder = session(screenSource());
    recorder->prepare();
    const std::string aid = recorder->begin();
    std::this_thread::sleep_for(1500ms);
    try {
        recorder->stop();
        FAIL() << "saved";
    } catch (const RecorderError& error) {
        EXPECT_EQ(error.kind(), RecorderError::Kind::uploadFailed) << error.what();
    }
    EXPECT_EQ(recorder->phase(), Phase::failed(RecordingSession::uploadFailedMessage, true));
    EXPECT_TRUE(recording(aid).at("status").is_null());
    // Still down: saving again fails the same way and keeps everything.
    EXPECT_THROW(recorder->save(), RecorderError);
    EXPECT_TRUE(fs::exists(spool / aid / TakeJournal::fileName));

    server.clearFaults();
    const auto saved = recorder->save();
    EXPECT_EQ(saved.aid, aid);
    EXPECT_EQ(recorder->phase(), Phase::saved(saved.folderId));
    const json rec = recording(aid);
    EXPECT_EQ(rec.at("status"), "saved");
    EXPECT_TRUE(rec.at("check").at("ok").get<bool>()) << rec.at("check").dump();
    for (const auto& object : rec.at("objects")) EXPECT_EQ(object.at("puts"), 1) << object.dump();
    EXPECT_FALSE(fs::exists(spool / aid));
    recorder->releaseSources();
}

TEST_F(RecordingSessionTest, ADiskFillingUpStopsTheTakeAndSavesWhatWasRecorded) {
    // The spool on a small file system of its own, which the test then fills.
    fs::create_directories(spool);
    if (mount("tmpfs", spool.c_str(), "tmpfs", 0, "size=600m") != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root: " << std::strerror(errno);
    struct Unmount {
        fs::path at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{spool};
    options.minFreeDiskBytes = 550 << 20;
    options.diskCheckSeconds = 0.5;
    auto recorder = session(screenSource());
    recorder->prepare();
    const std::string aid = recorder->begin();
    std::this_thread::sleep_for(1s);
    {
        const int fd = open((spool / "filler").c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_EQ(posix_fallocate(fd, 0, 120 << 20), 0);
        close(fd);
    }
    for (int i = 0; i < 100 && recorder->phase().kind != Phase::Kind::saved; ++i) std::this_thread::sleep_for(100ms);
    ASSERT_EQ(recorder->phase().kind, Phase::Kind::saved);
    {
        std::lock_guard lock(telemetry->mutex);
        EXPECT_NE(std::find(seen.begin(), seen.end(),
                            Phase{Phase::Kind::finishing, std::nullopt, RecordingSession::diskFullMessage, false}),
                  seen.end());
    }
    const json rec = recording(aid);
    EXPECT_EQ(rec.at("status"), "saved");
    EXPECT_TRUE(rec.at("check").at("ok").get<bool>()) << rec.at("check").dump();
    EXPECT_FALSE(fs::exists(spool / aid)) << "a saved take leaves no folder behind";
    recorder->releaseSources();
}

TEST_F(RecordingSessionTest, AnAssetCallFailingTwiceIsSavedOnTheSecondRetry) {
    server.setFault({{"route", "asset"}, {"status", 500}, {"times", 2}});
    auto recorder = session(screenSource());
    recorder->prepare();
    const std::string aid = recorder->begin();
    std::this_thread::sleep_for(500ms);
    EXPECT_THROW(recorder->stop(), HTTPError);
    EXPECT_THROW(recorder->save(), HTTPError);
    EXPECT_TRUE(recorder->phase().canRetrySave);
    const auto saved = recorder->save();
    EXPECT_EQ(saved.aid, aid);
    EXPECT_EQ(recording(aid).at("status"), "saved");
    recorder->releaseSources();
}

TEST_F(RecordingSessionTest, PrepareNeedsAScreenOrACamera) {
    auto recorder = session(nullptr, nullptr, std::make_shared<testing::FakeMicSource>());
    try {
        recorder->prepare();
        FAIL() << "prepared";
    } catch (const RecorderError& error) {
        EXPECT_STREQ(error.what(),
                     "Brindlow needs a screen or a camera permission. Turn it on in System Settings → Privacy & Security.");
    }
    EXPECT_EQ(recorder->phase().kind, Phase::Kind::idle);
}

// Nobody else on the machine reads a recording: the spool is a private folder of the
// user (tightened when an older version left it open, refused when it is a link), and
// everything in it is the user's alone.
TEST_F(RecordingSessionTest, TheSpoolIsPrivateToTheUser) {
    fs::create_directories(spool);
    fs::permissions(spool, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    auto recorder = session(screenSource());
    recorder->prepare();
    const std::string aid = recorder->begin();
    for (int i = 0; i < 100 && !fs::exists(spool / aid / "screen" / "000.part"); ++i) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(fs::exists(spool / aid / "screen" / "000.part"));
    EXPECT_EQ(fs::status(spool).permissions(), fs::perms::owner_all);
    for (const auto& entry : fs::recursive_directory_iterator(spool))
        EXPECT_EQ(entry.symlink_status().permissions(),
                  entry.is_directory() ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write)
            << entry.path();
    recorder->stop();
    recorder->releaseSources();

    const fs::path elsewhere = spool.string() + "-elsewhere";
    fs::remove_all(spool);
    fs::create_directories(elsewhere);
    fs::create_directory_symlink(elsewhere, spool);
    auto linked = session(screenSource());
    linked->prepare();
    EXPECT_ANY_THROW(linked->begin());
    EXPECT_TRUE(fs::is_empty(elsewhere));
    linked->releaseSources();
    fs::remove(spool);
    fs::remove_all(elsewhere);
}

// A disk that takes seconds to sync a range (a USB stick, an SD card) never holds up the
// encoder: syncing happens beside the recording, not in its way.
TEST_F(RecordingSessionTest, ASlowDiskDropsNoFrame) {
    options.limits.minRangeBytes = 1;  // a range closes at every fragment, while the take records
    options.limits.minRangeSeconds = 0;
    options.limits.sync = [](int fd) {
        std::this_thread::sleep_for(2s);
        return ::fsync(fd);
    };
    auto recorder = session(screenSource());
    recorder->prepare();
    const std::string aid = recorder->begin();
    std::this_thread::sleep_for(4500ms);
    recorder->stop();
    EXPECT_EQ(telemetry->last().name, "take_saved");
    EXPECT_EQ(telemetry->last().props.at("droppedFrames"), TelemetryValue(0));
    EXPECT_TRUE(recording(aid).at("check").at("ok").get<bool>());
    recorder->releaseSources();
}

// The screen's writer failing must not cost the camera its tail: every writer is finished
// before the save fails, so saving again files both streams whole.
TEST_F(RecordingSessionTest, AScreenWriterFailingStillFinishesTheCamera) {
    auto base = FFmpegSegmentEncoder::factory(quiet());
    SegmentEncoderFactory encoder = [base](const VideoOutputSettings& video, const std::optional<AudioSettings>& audio,
                                           SegmentEncoder::OnSegment onSegment) -> std::unique_ptr<SegmentEncoder> {
        auto inner = base(video, audio, std::move(onSegment));
        if (video.width == 320) return std::make_unique<FailingAtFinish>(std::move(inner));
        return inner;
    };
    auto recorder = session(screenSource(), cameraSource(), nullptr, encoder);
    recorder->prepare();
    const std::string aid = recorder->begin();
    std::this_thread::sleep_for(3200ms);
    EXPECT_THROW(recorder->stop(), RecorderError);
    const auto saved = recorder->save();
    const json camera = probe(uploadedStream(aid, "camera"));
    EXPECT_NEAR(number(camera.at("format").at("duration")), saved.durationSeconds, 0.5) << camera.dump();
    recorder->releaseSources();
}

// Range notices are best effort during the take; one that failed is sent again before the
// final notice, so the backend never sees a gap.
TEST_F(RecordingSessionTest, ARangeNoticeThatFailedIsSentAgainBeforeTheFinalOne) {
    server.setFault({{"route", "ranges"}, {"status", 500}, {"times", 1}});
    auto recorder = session(screenSource());
    recorder->prepare();
    const std::string aid = recorder->begin();
    std::this_thread::sleep_for(2500ms);
    recorder->stop();
    std::set<int64_t> noticed;
    int64_t highest = -1;
    bool final = false;
    const json rec = recording(aid);  // kept: the loop reads into it
    for (const auto& n : rec.at("notices")) {
        if (n.at("kind") == "final") final = true;
        if (n.at("kind") != "range") continue;
        EXPECT_FALSE(final) << "a range notice after the final one";
        noticed.insert(n.at("body").at("n").get<int64_t>());
        highest = std::max(highest, n.at("body").at("n").get<int64_t>());
    }
    EXPECT_TRUE(final);
    EXPECT_GE(highest, 0);
    EXPECT_EQ(int64_t(noticed.size()), highest + 1) << "a range the backend never heard of";
    recorder->releaseSources();
}

}  // namespace
}  // namespace brindlow
