#include "RecordingSession.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "RecorderError.h"
#include "Support/Text.h"
#include "Telemetry.h"
#include "Support/SignalStack.h"
#include "Support/DetachedWork.h"
#include "Support/PrivateFiles.h"
#include "TakeRecovery.h"

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

int64_t RecordingSession::droppedFramesOf(const Take& take) {
    int64_t total = 0;
    for (const auto& [key, stream] : take.streams) total += stream.writer->droppedVideoFrames();
    return total;
}

int64_t RecordingSession::droppedFrames() const {
    std::lock_guard lock(lock_);
    return take_ ? droppedFramesOf(*take_) : 0;
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
        take = take_ ? take_ : stopping_;
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
    makePrivateDirectory(spool_);  // throws
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
    TakeRecord first;
    first.aid = take->aid;
    first.uid = user_.uid;
    first.environment = api_.env().name;
    first.createdAt = iso8601Now();
    first.languageCode = user_.languageCode;
    // Owned before anything is in it, so a recovery running beside us keeps out.
    makePrivateDirectory(spool_ / take->aid);
    take->lock = TakeLock::tryAcquire(spool_ / take->aid);
    take->journal = TakeJournal::create(spool_ / take->aid, first);
    take->registration = RecordingRegistration::make(take->aid, api_, options_.heartbeatSeconds);
    std::weak_ptr<TakeJournal> weakJournal = take->journal;
    // The cursor log goes to disk as it grows, for recovery; without it the take still records.
    std::shared_ptr<CursorLogSpool> cursorSpool;
    if (cursor_ && screen_ && screen_->videoSize()) {
        try {
            cursorSpool = std::make_shared<CursorLogSpool>(spool_ / take->aid / CursorLogSpool::fileName,
                                                           Size{cursor_->displayBounds.width, cursor_->displayBounds.height});
        } catch (const std::exception& error) {
            systemLog(std::string("Brindlow Recorder: the cursor log is kept in memory only: ") + error.what());
        }
    }
    std::vector<StreamInfo> streams;
    std::optional<CaptureSize> screenSize;
    for (const auto& [streamKey, source] : {std::pair{StreamKey::screen, screen_}, std::pair{StreamKey::camera, camera_}}) {
        const StreamKey key = streamKey;  // a plain variable, which every compiler lets a lambda capture
        if (!source) continue;
        const auto size = source->videoSize();
        if (!size) continue;
        if (key == StreamKey::screen) screenSize = size;
        std::weak_ptr<RecordingRegistration> registration = take->registration;
        auto uploader = RangeUploader::make(
            take->aid, key, api_, putter_, spool_, options_.limits,
            [registration, weakJournal, key](int64_t n, double t0, double t1) {
                auto r = registration.lock();
                if (!r) return;
                r->sendRange(key, n, t0, t1, [weakJournal, key, n] {
                    if (auto journal = weakJournal.lock())
                        journal->update(key, [n](TakeRecord::Stream& s) {
                            if (n < int64_t(s.ranges.size())) s.ranges[size_t(n)].notified = true;
                        });
                });
            });
        if (key == StreamKey::screen && cursorSpool) uploader->setJournal(take->journal, [cursorSpool] { cursorSpool->sync(); });
        else uploader->setJournal(take->journal);
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
    take->journal->update([&](TakeRecord& r) { r.streams = streams; });
    take->registration->start(streams, user_.languageCode, [weakJournal] {
        if (auto journal = weakJournal.lock()) journal->update([](TakeRecord& r) { r.registered = true; });
    });
    if (cursor_ && take->streams.contains(StreamKey::screen))
        take->cursor = std::make_unique<CursorTracker>(*cursor_, take->clock, cursorSpool);
    take->clock->begin(hostNow());
    if (take->cursor) take->cursor->start();
    {
        std::lock_guard lock(lock_);
        take_ = take;
        // A failed save of an earlier take is left to the next launch's recovery.
        pendingSave_.reset();
        failedUpload_.reset();
    }
    watchDurationLimit(take);
    set(Phase::of(Phase::Kind::recording));

    TelemetryProps props{{"screen", take->streams.contains(StreamKey::screen)},
                         {"camera", take->streams.contains(StreamKey::camera)},
                         {"mic", mic_ != nullptr && options_.microphone},
                         {"computerSound", mic_ != nullptr && options_.computerSound},
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
        auto lastDiskCheck = SteadyClock::now();
        while (sleepFor(std::chrono::seconds(1), stop)) {
            auto self = weak.lock();
            if (!self) return;
            {
                std::lock_guard lock(self->lock_);
                if (self->take_ != take) return;
            }
            std::string notice;
            if (SteadyClock::now() - lastDiskCheck >= std::chrono::duration<double>(self->options_.diskCheckSeconds)) {
                lastDiskCheck = SteadyClock::now();
                const auto available = self->freeSpace_ ? self->freeSpace_(self->spool_) : std::nullopt;
                if (available && *available < self->options_.stopBelowFreeBytes) notice = diskFullMessage;
            }
            if (!notice.empty() || take->clock->elapsed(hostNow()) >= limit) {
                if (!notice.empty()) systemLog("Brindlow Recorder: the spool's disk is almost full; stopping take " + take->aid);
                DetachedWork::start([self, notice] {
                    try {
                        self->stopTake(notice);
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

RecordingSession::Saved RecordingSession::stop() { return stopTake({}); }

RecordingSession::Saved RecordingSession::stopTake(const std::string& notice) {
    std::shared_ptr<Take> take;
    {
        std::lock_guard lock(lock_);
        const bool running = phase_.kind == Phase::Kind::recording || phase_.kind == Phase::Kind::paused;
        if (!running || !take_) throw RecorderError::nothingRecorded();
        take = std::move(take_);
        stopping_ = take;
    }
    cancelDurationWatch();
    const MediaTime stoppedAt = hostNow();
    take->clock->stop(stoppedAt);
    set(Phase{Phase::Kind::finishing, std::nullopt, notice, false});
    // Sound captured before the stop may still sit in the sound server; the clock keeps
    // what came after it out.
    for (const auto& source : {screen_, camera_, mic_})
        if (source) source->deliverUntil(stoppedAt);
    {
        std::lock_guard lock(lock_);
        stopping_.reset();
    }
    const double duration = take->clock->elapsed(hostNow());
    take->journal->update([duration](TakeRecord& r) { r.duration = duration; });
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
        // Every writer is finished, even after another stream failed, so each spools its tail for recovery.
        std::exception_ptr failure;
        for (const StreamKey key : order) {
            try {
                auto& stream = take->streams.at(key);
                stream.writer->finish();
                if (stream.uploader->finish()) recorded.push_back(key);
            } catch (...) {
                if (!failure) failure = std::current_exception();
            }
        }
        if (failure) std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        take->registration->stopHeartbeat();
        const std::string description = error.what();
        record(TelemetryEvent::takeFailed, take->aid,
               {{"stage", "upload"}, {"error", description}, {"seconds", duration}});
        // Notices still queued go out first, so a retry never sends one twice.
        take->registration->drain();
        {
            std::lock_guard lock(lock_);
            failedUpload_ = take->aid;
        }
        // The spool and its record stay: "Try saving again" and the next launch finish it.
        systemLog("Brindlow Recorder: upload of take " + take->aid + " failed (" + description + "); kept for recovery");
        set(Phase::failed(uploadFailedMessage, true));
        throw RecorderError::uploadFailed(description);
    }

    if (recorded.empty()) {
        record(TelemetryEvent::takeDiscarded, take->aid,
               {{"reason", std::string(rawValue(DiscardReason::nothingRecorded))}, {"seconds", duration}});
        take->registration->close(CloseStatus::discarded, std::nullopt);
        removeTakeFolder(take->aid);
        const auto empty = RecorderError::nothingRecorded();
        set(Phase::failed(empty.what(), false));
        throw empty;
    }
    resendRangeNotices(*take->registration, take->journal);
    const std::weak_ptr<TakeJournal> weakJournal = take->journal;
    auto journalStream = [weakJournal](StreamKey key, void (*mark)(TakeRecord::Stream&)) {
        return [weakJournal, key, mark] {
            if (auto journal = weakJournal.lock()) journal->update(key, mark);
        };
    };
    for (const StreamKey key : recorded) {
        auto& stream = take->streams.at(key);
        take->registration->sendRangesFinal(key, journalStream(key, [](TakeRecord::Stream& s) { s.finalNotice = true; }));
        if (const auto index = stream.uploader->fragmentIndex())
            take->registration->sendIndex(
                key, *index, journalStream(key, [](TakeRecord::Stream& s) { s.index = true; }));
    }
    if (log && std::find(recorded.begin(), recorded.end(), StreamKey::screen) != recorded.end() &&
        uploadCursorLog(take->aid, *log))
        take->journal->update([](TakeRecord& r) { r.cursorLog = true; });
    {
        std::lock_guard lock(lock_);
        pendingSave_ = PendingSave{take->aid,     duration,   take->registration,
                                   take->journal, take->lock, droppedFramesOf(*take)};
    }
    return save();
}

bool RecordingSession::uploadCursorLog(const std::string& aid, const CursorLog& log) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        try {
            api_.saveCursorLog(aid, log);
            return true;
        } catch (const std::exception& error) {
            if (attempt == 2) systemLog("Brindlow Recorder: cursor log not saved for " + aid + ": " + error.what());
            std::this_thread::sleep_for(
                std::chrono::duration<double>(options_.limits.retryBaseSeconds * std::pow(2.0, attempt)));
        }
    }
    return false;
}

RecordingSession::Saved RecordingSession::save() {
    std::optional<PendingSave> pending;
    std::optional<std::string> failedUpload;
    {
        std::lock_guard lock(lock_);
        pending = pendingSave_;
        failedUpload = failedUpload_;
    }
    if (!pending && failedUpload) return recoverFailedUpload(*failedUpload);
    if (!pending) throw RecorderError::nothingRecorded();
    set(Phase::of(Phase::Kind::finishing));
    resendRangeNotices(*pending->registration, pending->journal);
    std::optional<std::string> folderId;
    try {
        folderId = api_.createFolder(user_, pending->aid);
    } catch (const std::exception&) {
        // The recording is filed without a folder.
    }
    pending->journal->update([&](TakeRecord& r) {
        r.folder = true;
        r.folderId = folderId;
    });
    try {
        api_.registerAsset(pending->aid, folderId, user_.languageCode, pending->duration);
        pending->journal->update([](TakeRecord& r) { r.asset = true; });
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
    removeTakeFolder(pending->aid);
    record(TelemetryEvent::takeSaved, pending->aid,
           {{"seconds", pending->duration},
            {"hasFolder", folderId.has_value()},
            {"droppedFrames", double(pending->droppedFrames)}});
    set(Phase::saved(folderId));
    return Saved{pending->aid, folderId, pending->duration};
}

RecordingSession::Saved RecordingSession::recoverFailedUpload(const std::string& aid) {
    set(Phase::of(Phase::Kind::finishing));
    TakeRecovery recovery(api_, putter_, spool_, TakeRecovery::Options(options_.limits));
    const RecoveryOutcome outcome = recovery.recover(aid, user_);
    if (outcome.kind != RecoveryOutcome::Kind::saved) {
        set(Phase::failed(uploadFailedMessage, outcome.kind == RecoveryOutcome::Kind::failed));
        throw RecorderError::uploadFailed(outcome.reason);
    }
    {
        std::lock_guard lock(lock_);
        if (failedUpload_ == aid) failedUpload_.reset();
    }
    record(TelemetryEvent::takeSaved, aid, {{"seconds", outcome.durationSeconds}, {"hasFolder", outcome.folderId.has_value()}});
    set(Phase::saved(outcome.folderId));
    return Saved{aid, outcome.folderId, outcome.durationSeconds};
}

void RecordingSession::resendRangeNotices(RecordingRegistration& registration, const std::shared_ptr<TakeJournal>& journal) {
    registration.drain();  // the notices still queued, and their marks, first
    const std::weak_ptr<TakeJournal> weakJournal = journal;
    for (const auto& [key, stream] : journal->record().media) {
        for (const auto& range : stream.ranges) {
            if (!range.uploaded || range.notified) continue;
            registration.sendRange(key, range.n, range.t0, range.t1, [weakJournal, key = key, n = range.n] {
                if (auto j = weakJournal.lock()) j->update(key, [n](TakeRecord::Stream& s) { s.ranges[size_t(n)].notified = true; });
            });
        }
    }
}

void RecordingSession::removeTakeFolder(const std::string& aid) {
    std::error_code ignored;
    fs::remove_all(spool_ / aid, ignored);
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
    removeTakeFolder(take->aid);
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
