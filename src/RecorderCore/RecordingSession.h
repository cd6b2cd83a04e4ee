#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "BrindlowAPI.h"
#include "CaptureSource.h"
#include "CursorTracker.h"
#include "ObjectPutter.h"
#include "RangeUploader.h"
#include "RecordingClock.h"
#include "RecordingRegistration.h"
#include "SegmentWriter.h"
#include "StreamKey.h"
#include "TakeJournal.h"
#include "TelemetryRecords.h"

namespace brindlow {

// One recording setup: starts the chosen sources, records takes (each with its own
// id, pause-aware clock, backend registration, and a writer and range uploader per
// video stream), and ends them by saving, restarting or cancelling. Reports its
// progress as a Phase. Control calls block their caller; samples arrive on the
// sources' own threads.
class RecordingSession : public std::enable_shared_from_this<RecordingSession> {
public:
    struct Options {
        int64_t fps = 30;
        int64_t cameraBitsPerSecond = 3'000'000;
        double maxDurationSeconds = 9000;
        int64_t minFreeDiskBytes = 2'147'483'648;
        RangeUploaderLimits limits;
        double heartbeatSeconds = 30;
        // While recording, the spool's free space is read this often; below the floor the take stops and is saved.
        double diskCheckSeconds = 5;
        int64_t stopBelowFreeBytes = 512 * 1024 * 1024;
        // What the sound source holds, for the take's report: a microphone, the computer's sound.
        bool microphone = true;
        bool computerSound = false;

        int64_t screenBitsPerSecond() const { return fps > 30 ? 12'000'000 : 8'000'000; }
    };

    struct Phase {
        enum class Kind { idle, armed, recording, paused, finishing, saved, failed };
        Kind kind = Kind::idle;
        std::optional<std::string> folderId;  // saved
        std::string message;                  // failed
        bool canRetrySave = false;            // failed

        static Phase of(Kind kind) { return {kind, std::nullopt, {}, false}; }
        static Phase saved(std::optional<std::string> folderId) { return {Kind::saved, std::move(folderId), {}, false}; }
        static Phase failed(std::string message, bool canRetrySave) {
            return {Kind::failed, std::nullopt, std::move(message), canRetrySave};
        }
        std::string_view name() const;
        bool operator==(const Phase&) const = default;
    };

    struct Saved {
        std::string aid;
        std::optional<std::string> folderId;
        double durationSeconds = 0;
        bool operator==(const Saved&) const = default;
    };

    // The free bytes of the file system holding a path; nothing when unreadable.
    using FreeSpace = std::function<std::optional<int64_t>(const std::filesystem::path&)>;

    static constexpr const char* uploadFailedMessage =
        "We couldn't finish uploading your recording. It will appear in Brindlow once it's recovered.";
    static constexpr const char* saveFailedMessage = "There was an error saving your recording. Try saving again.";
    static constexpr const char* diskFullMessage =
        "Your disk is almost full, so recording stopped. What was recorded is being saved.";

    static std::shared_ptr<RecordingSession> make(BrindlowAPI api, RecorderUser user, std::shared_ptr<ObjectPutter> putter,
                                                  std::filesystem::path spoolDirectory,
                                                  std::shared_ptr<CaptureSource> screen,
                                                  std::shared_ptr<CaptureSource> camera,
                                                  std::shared_ptr<CaptureSource> mic,
                                                  std::optional<CursorCapture> cursor, Options options,
                                                  SegmentEncoderFactory makeEncoder);
    ~RecordingSession();
    RecordingSession(const RecordingSession&) = delete;
    RecordingSession& operator=(const RecordingSession&) = delete;

    // Set before prepare(); called after every phase change, on the changing thread.
    void setOnPhase(std::function<void(const Phase&)> onPhase);
    void setTelemetry(std::shared_ptr<TelemetrySink> telemetry);
    // Replaces the disk-space reading (the spool's file system by default).
    void setFreeSpace(FreeSpace freeSpace);

    Phase phase() const;
    std::optional<std::string> currentAid() const;
    double elapsedSeconds() const;
    int64_t backlogBytes() const;
    // Video frames the encoders could not take in time during the current take.
    int64_t droppedFrames() const;

    void prepare();
    std::string begin();
    void pause();
    void resume();
    Saved stop();
    // Saves a take whose saving failed: the folder and asset again, or its whole upload
    // again through recovery when that was what failed.
    Saved save();
    void restart();
    void cancel();
    void releaseSources();

private:
    struct TakeStream {
        std::shared_ptr<SegmentWriter> writer;
        std::shared_ptr<RangeUploader> uploader;
    };
    struct Take {
        std::string aid;
        std::shared_ptr<RecordingClock> clock = std::make_shared<RecordingClock>();
        std::shared_ptr<RecordingRegistration> registration;
        std::map<StreamKey, TakeStream> streams;
        std::unique_ptr<CursorTracker> cursor;
        std::shared_ptr<TakeJournal> journal;
        std::shared_ptr<TakeLock> lock;
    };
    struct PendingSave {
        std::string aid;
        double duration = 0;
        std::shared_ptr<RecordingRegistration> registration;
        std::shared_ptr<TakeJournal> journal;
        std::shared_ptr<TakeLock> lock;
        int64_t droppedFrames = 0;
    };

    RecordingSession(BrindlowAPI api, RecorderUser user, std::shared_ptr<ObjectPutter> putter,
                     std::filesystem::path spoolDirectory, std::shared_ptr<CaptureSource> screen,
                     std::shared_ptr<CaptureSource> camera, std::shared_ptr<CaptureSource> mic,
                     std::optional<CursorCapture> cursor, Options options, SegmentEncoderFactory makeEncoder);
    void set(Phase phase);
    static int64_t droppedFramesOf(const Take& take);
    Saved stopTake(const std::string& notice);
    Saved recoverFailedUpload(const std::string& aid);
    // Range notices that failed during the take (they are best effort) go again, in
    // order, ahead of whatever is queued after them.
    static void resendRangeNotices(RecordingRegistration& registration, const std::shared_ptr<TakeJournal>& journal);
    void removeTakeFolder(const std::string& aid);
    void route(const SampleBuffer& sample, StreamKey key, bool audio);
    CaptureSource::Deliver router(StreamKey key, bool audio);
    void checkDiskSpace();
    void watchDurationLimit(std::shared_ptr<Take> take);
    void cancelDurationWatch();
    bool uploadCursorLog(const std::string& aid, const CursorLog& log);
    void discardTake(DiscardReason reason);
    void record(TelemetryEvent event, std::optional<std::string> aid, const TelemetryProps& props);

    const BrindlowAPI api_;
    const RecorderUser user_;
    const std::shared_ptr<ObjectPutter> putter_;
    const std::filesystem::path spool_;
    const std::shared_ptr<CaptureSource> screen_, camera_, mic_;
    const std::optional<CursorCapture> cursor_;
    const Options options_;
    const SegmentEncoderFactory makeEncoder_;
    FreeSpace freeSpace_;

    std::function<void(const Phase&)> onPhase_;
    std::shared_ptr<TelemetrySink> telemetry_;

    mutable std::mutex lock_;
    std::shared_ptr<Take> take_;                // guarded by lock_
    std::shared_ptr<Take> stopping_;            // guarded by lock_; still takes what was captured before the stop
    Phase phase_;                               // guarded by lock_
    std::optional<PendingSave> pendingSave_;    // guarded by lock_
    std::optional<std::string> failedUpload_;   // guarded by lock_; the take whose upload failed

    std::mutex watchLock_;
    std::jthread limitWatch_;  // guarded by watchLock_
};

}  // namespace brindlow
