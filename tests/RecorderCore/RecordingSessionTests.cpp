// The recording session through the real writer, uploader and registration, with
// synthetic sources, against the devserver over loopback.

#include "RecordingSession.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <future>

#include "MP4Boxes.h"
#include "RecorderError.h"
#include "Support/AtomicFile.h"
#include "Support/ExpectError.h"
#include "Support/FakeSources.h"
#include "Support/FlashesAndClicks.h"
#include "Support/SmallDisk.h"
#include "Support/Subprocess.h"
#include "Support/TakeRig.h"

namespace brindlow {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Phase = RecordingSession::Phase;
using testing::errorFrom;
using namespace std::chrono_literals;

// Telemetry and phases as the session reports them.
struct Reports final : TelemetrySink {
    void record(TelemetryEvent event, std::optional<std::string>, const TelemetryProps& props) override {
        std::lock_guard lock(mutex);
        events.emplace_back(std::string(rawValue(event)), props);
    }
    void notePhase(std::string_view phase, std::optional<std::string> aid) override {
        std::lock_guard lock(mutex);
        phases.push_back(std::string(phase) + (aid ? "/" + *aid : ""));
    }
    // The props of the last event called `name`, none when there is no such event.
    TelemetryProps props(std::string_view name) {
        std::lock_guard lock(mutex);
        const auto e = std::find_if(events.rbegin(), events.rend(), [&](const auto& e) { return e.first == name; });
        return e == events.rend() ? TelemetryProps{} : e->second;
    }
    std::mutex mutex;
    std::vector<std::pair<std::string, TelemetryProps>> events;
    std::vector<std::string> phases;
};

// A real encoder failing when asked to finish, as one whose disk vanished would.
class FailingEncoder final : public SegmentEncoder {
public:
    explicit FailingEncoder(std::unique_ptr<SegmentEncoder> inner) : inner_(std::move(inner)) {}
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

class RecordingSessionTest : public ::testing::Test, protected testing::TakeRig {
protected:
    std::shared_ptr<RecordingSession> session(std::shared_ptr<CaptureSource> screen,
                                              std::shared_ptr<CaptureSource> camera = nullptr,
                                              std::shared_ptr<CaptureSource> mic = nullptr,
                                              SegmentEncoderFactory encoder = {}) {
        auto made = TakeRig::session(std::move(screen), std::move(camera), std::move(mic), std::move(encoder));
        made->setTelemetry(telemetry);
        made->setOnPhase([this](const Phase& p) {
            std::lock_guard lock(telemetry->mutex);
            seen.push_back(p);
        });
        return made;
    }
    // Whether the session reported a phase that `matches` within half a minute.
    bool reported(const std::function<bool(const Phase&)>& matches) {
        for (int i = 0; i < 300; ++i, std::this_thread::sleep_for(100ms)) {
            std::lock_guard lock(telemetry->mutex);
            if (std::any_of(seen.begin(), seen.end(), matches)) return true;
        }
        return false;
    }
    // The real encoder, failing at finish for the stream `width` pixels wide.
    static SegmentEncoderFactory failing(int64_t width) {
        auto real = FFmpegSegmentEncoder::factory(encoderOptions());
        return [=](const VideoOutputSettings& video, const std::optional<AudioSettings>& audio,
                   SegmentEncoder::OnSegment onSegment) -> std::unique_ptr<SegmentEncoder> {
            auto inner = real(video, audio, std::move(onSegment));
            if (video.width != width) return inner;
            return std::make_unique<FailingEncoder>(std::move(inner));
        };
    }
    static std::shared_ptr<testing::FakeVideoSource> screenSource(bool frames = true) {
        return std::make_shared<testing::FakeVideoSource>(CaptureSize{320, 240}, 30, frames);
    }
    static std::shared_ptr<testing::FakeVideoSource> cameraSource() {
        return std::make_shared<testing::FakeVideoSource>(CaptureSize{160, 120}, 30);
    }
    json recording(const std::string& aid) const { return server.state(aid).at("recordings").at(0); }
    json probe(const std::string& aid, const std::string& stream) const {
        return testing::probeJSON({"-show_streams", "-show_format"}, stored(aid, stream));
    }
    static void expectSavedWhole(const json& rec) {
        EXPECT_EQ(rec.at("status"), "saved");
        EXPECT_TRUE(rec.at("check").at("ok").get<bool>()) << rec.at("check").dump();
    }

    std::shared_ptr<Reports> telemetry = std::make_shared<Reports>();
    std::vector<Phase> seen;
};

// The picture flashes white and the sound clicks at the same host times (video at origin
// + n/30 s, audio in 10 ms buffers from the origin), recorded across two pauses: each pair
// plays together and where the take's clock put it. Syncing a range takes two seconds, as
// on a USB stick, beside the recording. Nobody else on the machine reads the take: the
// spool is tightened to the user when an older version left it open.
TEST_F(RecordingSessionTest, AScreenAndMicTakeWithPausesIsSavedInSyncAndReportedOnASlowDisk) {
    options.limits.minRangeBytes = 1;  // a range closes at every fragment, while the take records
    options.limits.minRangeSeconds = 0;
    options.limits.sync = [](int fd) {
        std::this_thread::sleep_for(2s);
        return ::fsync(fd);
    };
    fs::create_directories(spool);
    fs::permissions(spool, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    const MediaTime origin = hostNow() + MediaTime(300, 1000);
    const std::vector<int64_t> flashFrames{30, 75, 120};
    auto screen = std::make_shared<testing::ScheduledSource>(
        CaptureSize{160, 120}, [](int64_t n) { return MediaTime(n, 30); },
        [=](int64_t n, MediaTime due) {
            const uint8_t shade = std::count(flashFrames.begin(), flashFrames.end(), n) ? 255 : 0;
            return testing::videoSample(testing::solidPicture(160, 120, {shade, shade, shade}), due, 30);
        },
        origin);
    // Sound in 1 ms buffers: a pause cuts sound at whole buffers, so a buffer's length is
    // how far a late pause or resume call may move the sound after it.
    auto mic = std::make_shared<testing::ScheduledSource>(
        std::nullopt, [](int64_t k) { return MediaTime((k + 1) * 48, 48'000); },
        [=](int64_t k, MediaTime) {
            AudioSamples pcm{48'000, 1, std::vector<float>(48, 0.0f)};
            for (int64_t frame : flashFrames)
                for (int64_t i = 0, click = frame * 48'000 / 30 - k * 48; i < 48; ++i)
                    if (i >= click && i < click + 96) pcm.samples[size_t(i)] = 0.9f;
            return SampleBuffer::audio(std::move(pcm), {MediaTime(48, 48'000), origin + MediaTime(k * 48, 48'000),
                                                        MediaTime::invalid()});
        },
        origin);
    auto recorder = session(screen, nullptr, mic);
    auto at = [&](double seconds) { sleepUntil(testing::steadyAt(origin + MediaTime(int64_t(seconds * 1000), 1000)), {}); };
    // Where the take's clock stands at a host time, read while recording before each flash.
    std::vector<std::pair<double, MediaTime>> readings;
    auto read = [&] {
        const double elapsed = recorder->elapsedSeconds();
        readings.emplace_back(elapsed, hostNow());
    };
    recorder->prepare();
    at(0.2);
    const std::string aid = recorder->begin();
    at(0.6);
    read();
    at(1.4);
    recorder->pause();
    at(1.9);
    recorder->resume();
    at(2.1);
    read();
    at(3.0);
    recorder->pause();
    at(3.3);
    recorder->resume();
    at(3.5);
    read();
    at(4.6);
    EXPECT_EQ(fs::status(spool).permissions(), fs::perms::owner_all);
    for (const auto& entry : fs::recursive_directory_iterator(spool))
        EXPECT_EQ(entry.symlink_status().permissions(),
                  entry.is_directory() ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write)
            << entry.path();
    const auto saved = recorder->stop();
    recorder->releaseSources();
    EXPECT_EQ(saved.aid, aid);
    ASSERT_TRUE(saved.folderId);
    EXPECT_NEAR(saved.durationSeconds, 3.6, 0.3);

    const json rec = recording(aid);
    expectSavedWhole(rec);
    EXPECT_EQ(rec.at("folderId"), *saved.folderId);
    EXPECT_EQ(rec.at("registration").at("languageCode"), "de");
    // Ranges noticed while it recorded, not all at the end.
    const json& notices = rec.at("notices");
    EXPECT_GE(std::count_if(notices.begin(), notices.end(), [](const json& n) { return n.at("kind") == "range"; }), 2);

    std::vector<std::string> names;
    for (const auto& event : telemetry->events) names.push_back(event.first);
    EXPECT_EQ(names, (std::vector<std::string>{"take_started", "take_stopped", "take_saved"}));
    // Finishing is reported by stop (without an id) and by save (with it); saved without.
    const std::string recording = "recording/" + aid, paused = "paused/" + aid;
    EXPECT_EQ(telemetry->phases, (std::vector<std::string>{"armed", recording, paused, recording, paused, recording,
                                                           "finishing", "finishing/" + aid, "saved"}));

    const fs::path stream = stored(aid, "screen");
    const auto video = testing::decodeFlashes(stream);
    const auto audio = testing::decodeClicks(stream);
    EXPECT_NEAR(video.firstFrame, 0.0, 1e-6);
    EXPECT_NEAR(audio.start, 0.0, 1e-6);
    EXPECT_TRUE(audio.regularPackets);
    ASSERT_EQ(video.flashes.size(), flashFrames.size()) << json(video.flashes).dump();
    ASSERT_EQ(audio.clicks.size(), flashFrames.size()) << json(audio.clicks).dump();
    for (size_t i = 0; i < flashFrames.size(); ++i) {
        const double intended = readings[i].first + (origin + MediaTime(flashFrames[i], 30) - readings[i].second).seconds();
        SCOPED_TRACE("flash " + std::to_string(i) + " intended at " + std::to_string(intended) + " s");
        EXPECT_NEAR(video.flashes[i], intended, 0.005);
        EXPECT_NEAR(audio.clicks[i], intended, 0.005);
        EXPECT_NEAR(audio.clicks[i], video.flashes[i], 0.005);
    }
}

// With a camera the sound goes into the camera's stream. Fifty pauses leave every stream
// the recorded length and in sync, while a third of the uploads, the first signing
// rounds and a range notice fail: each object is still stored once, and every range is
// noticed before the final notices. Two stops racing at the end save the take once.
TEST_F(RecordingSessionTest, ACameraTakeWithFiftyPausesAndFlakyUploadsIsSavedOnceWholeAndInSync) {
    options.limits.signBatch = 3;  // several signing rounds in one short take
    server.setFault({{"route", "put"}, {"status", 500}, {"rate", 0.3}});
    server.setFault({{"route", "sign"}, {"status", 503}, {"times", 2}});
    server.setFault({{"route", "ranges"}, {"status", 500}, {"times", 1}});
    auto recorder = session(screenSource(), cameraSource(), std::make_shared<testing::FakeMicSource>());
    recorder->prepare();
    const std::string aid = recorder->begin();
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(70ms);
        pauseFor(*recorder, 30ms);
    }
    std::this_thread::sleep_for(300ms);
    auto first = std::async(std::launch::async, [&] { return recorder->stop(); });
    auto second = std::async(std::launch::async, [&] { return recorder->stop(); });
    std::vector<RecordingSession::Saved> saved;
    for (auto* stop : {&first, &second}) {
        try {
            saved.push_back(stop->get());
        } catch (const RecorderError& error) {
            EXPECT_EQ(error, RecorderError::nothingRecorded());
        }
    }
    recorder->releaseSources();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_NEAR(saved[0].durationSeconds, 50 * 0.07 + 0.3, 0.5);

    const json screen = probe(aid, "screen"), camera = probe(aid, "camera");
    EXPECT_EQ(screen.at("streams").size(), 1u);
    ASSERT_EQ(camera.at("streams").size(), 2u);
    EXPECT_EQ(camera.at("streams").at(1).at("codec_type"), "audio");
    for (const json* info : {&screen, &camera})
        EXPECT_NEAR(testing::jsonSeconds(info->at("format").at("duration")), saved[0].durationSeconds, 1.0 / 30 + 0.02);
    EXPECT_NEAR(testing::jsonSeconds(camera.at("streams").at(0).at("duration")),
                testing::jsonSeconds(camera.at("streams").at(1).at("duration")), 0.040)
        << "audio and video drifted apart";

    const json rec = recording(aid);
    expectSavedWhole(rec);
    for (const auto& object : rec.at("objects")) EXPECT_EQ(object.at("puts"), 1) << object.dump();
    // The server's check holds each stream's range notices to its ranges, in order.
    std::vector<std::string> closing;
    for (const auto& n : rec.at("notices")) {
        const std::string kind = n.at("kind");
        if (kind == "final" || kind == "index") closing.push_back(kind + ":" + n.at("body").at("stream").get<std::string>());
        EXPECT_TRUE(kind != "range" || closing.empty()) << "a range notice after a final one";
    }
    EXPECT_EQ(closing, (std::vector<std::string>{"final:screen", "index:screen", "final:camera", "index:camera"}));
}

TEST_F(RecordingSessionTest, AStreamWithoutFramesIsNothingRecorded) {
    auto recorder = session(screenSource(false));
    EXPECT_EQ(errorFrom<RecorderError>([&] { recordFor(*recorder, 300ms); }), RecorderError::nothingRecorded());
    EXPECT_EQ(recorder->phase(), Phase::failed(RecorderError::nothingRecorded().what(), false));
    EXPECT_EQ(server.state().at("recordings").at(0).at("status"), "discarded");
    EXPECT_EQ(telemetry->props("take_discarded").at("reason"), TelemetryValue("nothing_recorded"));
}

// The screen's writer failing fails the upload, but only once every writer finished: no
// final notice goes out and the camera keeps its tail. While the object store is down,
// saving again fails the same way and keeps everything; once it is back, both streams
// are filed whole from the spool, each object stored once.
TEST_F(RecordingSessionTest, AFailedUploadKeepsTheSpoolUntilSavingAgainFilesEveryStreamOnce) {
    options.limits.maxAttempts = 3;
    options.limits.retryMaxSeconds = 0.2;
    auto recorder = session(screenSource(), cameraSource(), nullptr, failing(320));
    recorder->prepare();
    const std::string aid = recorder->begin();
    std::this_thread::sleep_for(3200ms);
    // Until the screen has spooled a whole fragment, which a loaded machine may take a while to encode.
    for (int i = 0; i < 200; ++i) {
        const auto bytes = readFile(spool / aid / "screen" / "000.part").value_or("");
        if (!MP4Boxes::completeFragments(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())).empty())
            break;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(errorFrom<RecorderError>([&] { recorder->stop(); }).value_or(RecorderError::nothingRecorded()).kind(),
              RecorderError::Kind::uploadFailed);
    recorder->releaseSources();
    const json failed = recording(aid);  // held: the loop walks into it
    EXPECT_TRUE(failed.at("status").is_null());
    for (const auto& n : failed.at("notices")) EXPECT_NE(n.at("kind"), "final");
    EXPECT_EQ(telemetry->props("take_failed").at("stage"), TelemetryValue("upload"));

    server.setFault({{"route", "put"}, {"status", 503}});
    EXPECT_THROW(recorder->save(), RecorderError);
    EXPECT_EQ(recorder->phase(), Phase::failed(RecordingSession::uploadFailedMessage, true));
    EXPECT_TRUE(fs::exists(spool / aid / TakeJournal::fileName));
    server.clearFaults();
    const auto saved = recorder->save();
    const json rec = recording(aid);
    expectSavedWhole(rec);
    for (const auto& object : rec.at("objects")) EXPECT_EQ(object.at("puts"), 1) << object.dump();
    EXPECT_NEAR(testing::jsonSeconds(probe(aid, "camera").at("format").at("duration")), saved.durationSeconds, 0.5);
    EXPECT_FALSE(fs::exists(spool / aid));
}

// The first folder and the first asset call fail. The watch stops the take at its
// limit, pauses not counted, and a failed save is saved on a retry, into a folder.
TEST_F(RecordingSessionTest, TheDurationLimitStopsTheTakeAndAFailedSaveIsSavedOnARetry) {
    server.setFault({{"route", "folders"}, {"status", 500}, {"times", 1}});
    server.setFault({{"route", "asset"}, {"status", 500}, {"times", 1}});
    options.maxDurationSeconds = 2;
    auto recorder = session(screenSource());
    recorder->prepare();
    const std::string aid = recorder->begin();
    std::this_thread::sleep_for(1500ms);
    pauseFor(*recorder, 1500ms);
    ASSERT_TRUE(reported([](const Phase& p) { return p.kind == Phase::Kind::failed; }));
    EXPECT_EQ(recorder->phase(), Phase::failed(RecordingSession::saveFailedMessage, true));
    EXPECT_EQ(telemetry->props("take_failed").at("stage"), TelemetryValue("save"));
    const double seconds = *telemetry->props("take_stopped").at("seconds").number();
    EXPECT_GE(seconds, 2.0);
    EXPECT_LT(seconds, 3.2);

    const auto saved = recorder->save();
    recorder->releaseSources();
    ASSERT_TRUE(saved.folderId);
    EXPECT_EQ(recorder->phase(), Phase::saved(saved.folderId));
    EXPECT_EQ(recording(aid).at("status"), "saved");
    std::this_thread::sleep_for(100ms);  // the stopping thread lets go of the session
}

// Only an armed session with room on disk begins, once; restarting a paused take
// discards it and its spool; cancelling an armed session only stops its sources; a
// spool that is a link is refused.
TEST_F(RecordingSessionTest, TheSessionBeginsRestartsAndCancelsOnlyWhenItMay) {
    auto soundOnly = session(nullptr, nullptr, std::make_shared<testing::FakeMicSource>());
    EXPECT_EQ(errorFrom<RecorderError>([&] { soundOnly->prepare(); }), RecorderError::permissionDenied("a screen or a camera"));

    auto screen = screenSource();
    auto recorder = session(screen);
    EXPECT_THROW(recorder->begin(), RecorderError);  // not prepared
    recorder->prepare();
    // Too little room refuses; exactly the floor passes.
    std::optional<int64_t> room = options.minFreeDiskBytes - 1;
    recorder->setFreeSpace([&](const fs::path&) { return room; });
    EXPECT_EQ(errorFrom<RecorderError>([&] { recorder->begin(); }), RecorderError::lowDiskSpace());
    EXPECT_EQ(server.state().at("recordings").size(), 0u);
    room = options.minFreeDiskBytes;
    const std::string aid = recorder->begin();
    EXPECT_EQ(errorFrom<RecorderError>([&] { recorder->begin(); }),
              RecorderError::encoderUnavailable("recorder is not ready"));
    std::this_thread::sleep_for(600ms);
    recorder->pause();
    ASSERT_TRUE(fs::exists(spool / aid));
    recorder->restart();
    EXPECT_EQ(recorder->phase(), Phase::of(Phase::Kind::armed));
    EXPECT_FALSE(fs::exists(spool / aid / "screen"));
    EXPECT_EQ(telemetry->props("take_discarded").at("reason"), TelemetryValue("restart"));
    EXPECT_EQ(recording(aid).at("status"), "discarded");
    // A disk that cannot be read does not stand in the way.
    room = std::nullopt;
    recorder->begin();
    recorder->restart();
    const size_t reported = telemetry->events.size();
    recorder->cancel();
    EXPECT_TRUE(screen->stopped);
    EXPECT_EQ(recorder->phase(), Phase::of(Phase::Kind::idle));
    EXPECT_EQ(telemetry->events.size(), reported);
    EXPECT_THROW(recorder->stop(), RecorderError);

    const fs::path elsewhere = spool.string() + "-elsewhere";
    fs::remove_all(spool);
    fs::create_directories(elsewhere);
    fs::create_directory_symlink(elsewhere, spool);
    recorder->prepare();
    EXPECT_ANY_THROW(recorder->begin());
    EXPECT_TRUE(fs::is_empty(elsewhere));
    recorder->releaseSources();
    fs::remove_all(elsewhere);
}

TEST_F(RecordingSessionTest, ADiskFillingUpStopsTheTakeAndSavesWhatWasRecorded) {
    // The spool on a small file system of its own, which the test then fills.
    const testing::SmallDisk disk(spool, "600m");
    if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root: " << disk.refusal();
    options.minFreeDiskBytes = 550 << 20;
    options.diskCheckSeconds = 0.5;
    auto recorder = session(screenSource());
    recorder->prepare();
    const std::string aid = recorder->begin();
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(testing::runCommand({"fallocate", "-l", "120M", (spool / "filler").string()}).exitCode, 0);
    ASSERT_TRUE(reported([](const Phase& p) { return p.kind == Phase::Kind::saved; }));
    recorder->releaseSources();
    EXPECT_TRUE(reported([](const Phase& p) {
        return p == Phase{Phase::Kind::finishing, std::nullopt, RecordingSession::diskFullMessage, false};
    }));
    expectSavedWhole(recording(aid));
}

}  // namespace
}  // namespace brindlow
