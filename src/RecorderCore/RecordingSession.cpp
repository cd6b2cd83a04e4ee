#include "RecordingSession.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "RecorderError.h"
#include "Support/Text.h"
#include "Telemetry.h"
#include "Support/SignalStack.h"
#include "Support/DetachedWork.h"

namespace brindlow {
namespace fs = std::filesystem;

std::string_view RecordingSession::Phase::name() const {
    switch (kind) {
        case Kind::idle: return "idle";
        case Kind::armed: return "armed";
        case Kind::recording: return "recording";
        case Kind::paused: return "paused";
        case Kind::finishing: return "finishing";
        case Kind::saved: return "saved";
        case Kind::failed: return "failed";
    }
    return "idle";
}

std::shared_ptr<RecordingSession> RecordingSession::make(BrindlowAPI api, RecorderUser user,
                                                         std::shared_ptr<ObjectPutter> putter, fs::path spoolDirectory,
                                                         std::shared_ptr<CaptureSource> screen,
                                                         std::shared_ptr<CaptureSource> camera,
                                                         std::shared_ptr<CaptureSource> mic,
                                                         std::optional<CursorCapture> cursor, Options options,
                                                         SegmentEncoderFactory makeEncoder) {
    return std::shared_ptr<RecordingSession>(new RecordingSession(
        std::move(api), std::move(user), std::move(putter), std::move(spoolDirectory), std::move(screen),
        std::move(camera), std::move(mic), std::move(cursor), std::move(options), std::move(makeEncoder)));
}

RecordingSession::RecordingSession(BrindlowAPI api, RecorderUser user, std::shared_ptr<ObjectPutter> putter,
                                   fs::path spoolDirectory, std::shared_ptr<CaptureSource> screen,
                                   std::shared_ptr<CaptureSource> camera, std::shared_ptr<CaptureSource> mic,
                                   std::optional<CursorCapture> cursor, Options options,
                                   SegmentEncoderFactory makeEncoder)
    : api_(std::move(api)),
      user_(std::move(user)),
      putter_(std::move(putter)),
      spool_(std::move(spoolDirectory)),
      screen_(std::move(screen)),
      camera_(std::move(camera)),
      mic_(std::move(mic)),
      cursor_(std::move(cursor)),
      options_(std::move(options)),
      makeEncoder_(std::move(makeEncoder)),
      freeSpace_([](const fs::path& path) -> std::optional<int64_t> {
          std::error_code ec;
          const auto space = fs::space(path, ec);
          if (ec || space.available == static_cast<std::uintmax_t>(-1)) return std::nullopt;
          return int64_t(std::min<std::uintmax_t>(space.available, INT64_MAX));
      }) {}

RecordingSession::~RecordingSession() { cancelDurationWatch(); }

void RecordingSession::setOnPhase(std::function<void(const Phase&)> onPhase) { onPhase_ = std::move(onPhase); }
void RecordingSession::setTelemetry(std::shared_ptr<TelemetrySink> telemetry) { telemetry_ = std::move(telemetry); }
void RecordingSession::setFreeSpace(FreeSpace freeSpace) { freeSpace_ = std::move(freeSpace); }

RecordingSession::Phase RecordingSession::phase() const {
    std::lock_guard lock(lock_);
    return phase_;
}

std::optional<std::string> RecordingSession::currentAid() const {
    std::lock_guard lock(lock_);
    return take_ ? std::optional(take_->aid) : std::nullopt;
}

double RecordingSession::elapsedSeconds() const {
    std::lock_guard lock(lock_);
    return take_ ? take_->clock->elapsed(hostNow()) : 0;
}

int64_t RecordingSession::backlogBytes() const {
    std::lock_guard lock(lock_);
    int64_t total = 0;
    if (take_)
        for (const auto& [key, stream] : take_->streams) total += stream.uploader->pendingBytes();
    return total;
}

void RecordingSession::set(Phase phase) {
    std::optional<std::string> aid;
    {
        std::lock_guard lock(lock_);
        phase_ = phase;
        if (take_) aid = take_->aid;
        else if (pendingSave_) aid = pendingSave_->aid;
    }
    if (telemetry_) telemetry_->notePhase(phase.name(), aid);
    if (onPhase_) onPhase_(phase);
}

void RecordingSession::record(TelemetryEvent event, std::optional<std::string> aid, const TelemetryProps& props) {
    if (telemetry_) telemetry_->record(event, std::move(aid), props);
}

CaptureSource::Deliver RecordingSession::router(StreamKey key, bool audio) {
    std::weak_ptr<RecordingSession> weak = weak_from_this();
    return [weak, key, audio](const SampleBuffer& sample) {
        if (auto self = weak.lock()) self->route(sample, key, audio);
    };
}

void RecordingSession::prepare() {
    if (screen_) screen_->start(router(StreamKey::screen, false));
    else if (!camera_) throw RecorderError::permissionDenied("a screen or a camera");
    if (camera_) camera_->start(router(StreamKey::camera, false));
    if (mic_) mic_->start(router(camera_ ? StreamKey::camera : StreamKey::screen, true));
    set(Phase::of(Phase::Kind::armed));
}

void RecordingSession::route(const SampleBuffer& sample, StreamKey key, bool audio) {
    std::shared_ptr<Take> take;
    {
        std::lock_guard lock(lock_);
        take = take_;
    }
    if (!take) return;
    const auto stream = take->streams.find(key);
    if (stream == take->streams.end()) return;
    const auto retimed = take->clock->retime(sample);
    if (!retimed) return;
    if (audio) stream->second.writer->appendAudio(*retimed);
    else stream->second.writer->appendVideo(*retimed);
}

void RecordingSession::checkDiskSpace() {
    fs::create_directories(spool_);  // throws filesystem_error
    const auto available = freeSpace_ ? freeSpace_(spool_) : std::nullopt;
    if (available && *available < options_.minFreeDiskBytes) throw RecorderError::lowDiskSpace();
}

std::string RecordingSession::begin() {
    {
        std::lock_guard lock(lock_);
        if (phase_.kind != Phase::Kind::armed) throw RecorderError::encoderUnavailable("recorder is not ready");
    }
    checkDiskSpace();

    auto take = std::make_shared<Take>();
    take->aid = randomUUID();  // lower-case canonical form
    take->registration = RecordingRegistration::make(take->aid, api_, options_.heartbeatSeconds);
    std::vector<StreamInfo> streams;
    std::optional<CaptureSize> screenSize;
    for (const auto& [streamKey, source] : {std::pair{StreamKey::screen, screen_}, std::pair{StreamKey::camera, camera_}}) {
        const StreamKey key = streamKey;  // a plain variable, which every compiler lets a lambda capture
        if (!source) continue;
        const auto size = source->videoSize();
        if (!size) continue;
        if (key == StreamKey::screen) screenSize = size;
        std::weak_ptr<RecordingRegistration> registration = take->registration;
        auto uploader = RangeUploader::make(take->aid, key, api_, putter_, spool_, options_.limits,
                                            [registration, key](int64_t n, double t0, double t1) {
                                                if (auto r = registration.lock()) r->sendRange(key, n, t0, t1);
                                            });
        const bool withAudio = mic_ && (key == StreamKey::camera || !camera_);
        VideoSettings video{size->width, size->height, key == StreamKey::screen ? options_.fps : 30,
                            key == StreamKey::screen ? options_.screenBitsPerSecond() : options_.cameraBitsPerSecond};
        std::optional<AudioSettings> audio;
        if (withAudio) audio = AudioSettings{48'000, 1};
        std::weak_ptr<RangeUploader> weakUploader = uploader;
        auto writer = std::make_shared<SegmentWriter>(
            video, audio,
            [weakUploader](StreamSegment segment) {
                if (auto u = weakUploader.lock()) u->append(segment);
            },
            makeEncoder_);
        take->streams.emplace(key, TakeStream{std::move(writer), std::move(uploader)});
        streams.push_back(StreamInfo{key, "video/mp4", size->width, size->height});
    }
    take->registration->start(streams, user_.languageCode);
    if (cursor_ && take->streams.contains(StreamKey::screen))
        take->cursor = std::make_unique<CursorTracker>(*cursor_, take->clock);
    take->clock->begin(hostNow());
    if (take->cursor) take->cursor->start();
    {
        std::lock_guard lock(lock_);
        take_ = take;
        pendingSave_.reset();  // a failed save of an earlier take is given up here
    }
    watchDurationLimit(take);
    set(Phase::of(Phase::Kind::recording));

    TelemetryProps props{{"screen", take->streams.contains(StreamKey::screen)},
                         {"camera", take->streams.contains(StreamKey::camera)},
                         {"mic", mic_ != nullptr},
                         {"fps", options_.fps}};
    if (screenSize) {
        props.emplace("width", screenSize->width);
        props.emplace("height", screenSize->height);
    }
    record(TelemetryEvent::takeStarted, take->aid, props);
    return take->aid;
}

void RecordingSession::watchDurationLimit(std::shared_ptr<Take> take) {
    cancelDurationWatch();
    std::weak_ptr<RecordingSession> weak = weak_from_this();
    const double limit = options_.maxDurationSeconds;
    std::lock_guard lock(watchLock_);
    limitWatch_ = std::jthread([weak, take, limit](std::stop_token stop) {
        ensureSignalStack();
        while (sleepFor(std::chrono::seconds(1), stop)) {
            auto self = weak.lock();
            if (!self) return;
            {
                std::lock_guard lock(self->lock_);
                if (self->take_ != take) return;
            }
            if (take->clock->elapsed(hostNow()) >= limit) {
                DetachedWork::start([self] {
                    try {
                        self->stop();
                    } catch (const std::exception&) {
                    }
                });
                return;
            }
        }
    });
}

void RecordingSession::cancelDurationWatch() {
    std::jthread watch;
    {
        std::lock_guard lock(watchLock_);
        watch = std::move(limitWatch_);
    }
    if (!watch.joinable()) return;
    watch.request_stop();
    if (watch.get_id() == std::this_thread::get_id()) watch.detach();
    // else the jthread joins as it goes out of scope; the watch never waits on us.
}

void RecordingSession::pause() {
    std::shared_ptr<Take> take;
    {
        std::lock_guard lock(lock_);
        if (phase_.kind != Phase::Kind::recording || !take_) return;
        take = take_;
    }
    take->clock->pause(hostNow());
    set(Phase::of(Phase::Kind::paused));
}

void RecordingSession::resume() {
    std::shared_ptr<Take> take;
    {
        std::lock_guard lock(lock_);
        if (phase_.kind != Phase::Kind::paused || !take_) return;
        take = take_;
    }
    take->clock->resume(hostNow());
    set(Phase::of(Phase::Kind::recording));
}

RecordingSession::Saved RecordingSession::stop() {
    std::shared_ptr<Take> take;
    {
        std::lock_guard lock(lock_);
        const bool running = phase_.kind == Phase::Kind::recording || phase_.kind == Phase::Kind::paused;
        if (!running || !take_) throw RecorderError::nothingRecorded();
        take = std::move(take_);
    }
    cancelDurationWatch();
    take->clock->stop(hostNow());
    set(Phase::of(Phase::Kind::finishing));
    const double duration = take->clock->elapsed(hostNow());
    std::optional<CursorLog> log;
    if (take->cursor) log = take->cursor->stop();
    record(TelemetryEvent::takeStopped, take->aid, {{"seconds", duration}});

    // "screen" before "camera": descending raw values.
    std::vector<StreamKey> order;
    for (const auto& [key, stream] : take->streams) order.push_back(key);
    std::sort(order.begin(), order.end(),
              [](StreamKey a, StreamKey b) { return rawValue(a) > rawValue(b); });
    std::vector<StreamKey> recorded;
    try {
        for (const StreamKey key : order) {
            auto& stream = take->streams.at(key);
            stream.writer->finish();
            if (stream.uploader->finish()) recorded.push_back(key);
        }
    } catch (const std::exception& error) {
        take->registration->stopHeartbeat();
        const std::string description = error.what();
        record(TelemetryEvent::takeFailed, take->aid,
               {{"stage", "upload"}, {"error", description}, {"seconds", duration}});
        set(Phase::failed(uploadFailedMessage, false));
        throw RecorderError::uploadFailed(description);
    }

    if (recorded.empty()) {
        record(TelemetryEvent::takeDiscarded, take->aid,
               {{"reason", std::string(rawValue(DiscardReason::nothingRecorded))}, {"seconds", duration}});
        take->registration->close(CloseStatus::discarded, std::nullopt);
        const auto empty = RecorderError::nothingRecorded();
        set(Phase::failed(empty.what(), false));
        throw empty;
    }
    for (const StreamKey key : recorded) {
        auto& stream = take->streams.at(key);
        take->registration->sendRangesFinal(key);
        if (const auto index = stream.uploader->fragmentIndex()) take->registration->sendIndex(key, *index);
    }
    if (log && std::find(recorded.begin(), recorded.end(), StreamKey::screen) != recorded.end())
        uploadCursorLog(take->aid, *log);
    {
        std::lock_guard lock(lock_);
        pendingSave_ = PendingSave{take->aid, duration, take->registration};
    }
    return save();
}

void RecordingSession::uploadCursorLog(const std::string& aid, const CursorLog& log) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        try {
            api_.saveCursorLog(aid, log);
            return;
        } catch (const std::exception& error) {
            if (attempt == 2) systemLog("Brindlow Recorder: cursor log not saved for " + aid + ": " + error.what());
            std::this_thread::sleep_for(
                std::chrono::duration<double>(options_.limits.retryBaseSeconds * std::pow(2.0, attempt)));
        }
    }
}

RecordingSession::Saved RecordingSession::save() {
    std::optional<PendingSave> pending;
    {
        std::lock_guard lock(lock_);
        pending = pendingSave_;
    }
    if (!pending) throw RecorderError::nothingRecorded();
    set(Phase::of(Phase::Kind::finishing));
    std::optional<std::string> folderId;
    try {
        folderId = api_.createFolder(user_, pending->aid);
    } catch (const std::exception&) {
        // The recording is filed without a folder.
    }
    try {
        api_.registerAsset(pending->aid, folderId, user_.languageCode, pending->duration);
    } catch (const std::exception& error) {
        record(TelemetryEvent::takeFailed, pending->aid, {{"stage", "save"}, {"error", std::string(error.what())}});
        set(Phase::failed(saveFailedMessage, true));
        throw;
    }
    pending->registration->close(CloseStatus::saved, folderId);
    {
        std::lock_guard lock(lock_);
        if (pendingSave_ && pendingSave_->aid == pending->aid) pendingSave_.reset();
    }
    record(TelemetryEvent::takeSaved, pending->aid, {{"seconds", pending->duration}, {"hasFolder", folderId.has_value()}});
    set(Phase::saved(folderId));
    return Saved{pending->aid, folderId, pending->duration};
}

void RecordingSession::discardTake(DiscardReason reason) {
    std::shared_ptr<Take> take;
    {
        std::lock_guard lock(lock_);
        take = std::move(take_);
    }
    if (!take) return;
    cancelDurationWatch();
    take->clock->stop(hostNow());
    record(TelemetryEvent::takeDiscarded, take->aid,
           {{"reason", std::string(rawValue(reason))}, {"seconds", take->clock->elapsed(hostNow())}});
    if (take->cursor) take->cursor->stop();
    for (auto& [key, stream] : take->streams) {
        stream.uploader->abort();
        stream.writer->cancel();
    }
    take->registration->close(CloseStatus::discarded, std::nullopt);
}

void RecordingSession::cancel() {
    discardTake(DiscardReason::cancel);
    releaseSources();
    set(Phase::of(Phase::Kind::idle));
}

void RecordingSession::restart() {
    discardTake(DiscardReason::restart);
    set(Phase::of(Phase::Kind::armed));
}

void RecordingSession::releaseSources() {
    if (screen_) screen_->stop();
    if (camera_) camera_->stop();
    if (mic_) mic_->stop();
}

}  // namespace brindlow
