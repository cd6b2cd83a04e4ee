#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "BrindlowAPI.h"
#include "FragmentIndex.h"
#include "ObjectPutter.h"
#include "SegmentWriter.h"
#include "StreamKey.h"
#include "Support/Concurrency.h"
#include "TakeJournal.h"

namespace brindlow {

// Thresholds, retry settings and the disk sync of a RangeUploader; the defaults are the app's.
struct RangeUploaderLimits {
    int64_t minRangeBytes = 5 * 1024 * 1024;
    double minRangeSeconds = 15.0;
    int64_t signBatch = 25;
    int64_t maxAttempts = 10;
    double retryBaseSeconds = 0.1;
    double retryMaxSeconds = 30.0;
    double tailSeconds = 2.0;
    // fsync(2); replaceable to play a slow disk.
    std::function<int(int fd)> sync;
};

// Spools one stream's segments to disk, cuts them into ranges at fragment boundaries
// and uploads them in order on its own worker while the take records. Segments
// arrive on the encoder's thread, which never waits on the disk: syncing a closed
// range, renaming it and recording it happen on the worker. finish, abort and the
// counters may be called from any other thread. Lock order: the cutting lock before
// the counters lock.
//
// Spool layout, under <spool>/<aid>/<stream>/ (private to the user): "%03d.part" is a
// range being filled or closed and not yet synced, "%03d.mp4" a synced range waiting
// for upload (deleted once uploaded and recorded as such). Ranges are contiguous byte
// runs of the stream (range 0 starts with the init segment), so the files of a failed
// upload, concatenated in order, are the stream's missing tail; the record may not yet
// name the last few of them.
class RangeUploader : public std::enable_shared_from_this<RangeUploader> {
public:
    using Limits = RangeUploaderLimits;
    using OnRangeUploaded = std::function<void(int64_t n, double t0, double t1)>;
    // Sleeps for the back-off; false when interrupted by `stop`. Replaceable in tests.
    using Sleeper = std::function<bool(double seconds, std::stop_token stop)>;

    // Creates the spool directory (throws std::filesystem::filesystem_error) and starts the worker.
    static std::shared_ptr<RangeUploader> make(std::string aid, StreamKey stream, BrindlowAPI api,
                                               std::shared_ptr<ObjectPutter> putter,
                                               const std::filesystem::path& spoolDirectory, Limits limits = {},
                                               OnRangeUploaded onRangeUploaded = {}, Sleeper sleeper = {});
    ~RangeUploader();
    RangeUploader(const RangeUploader&) = delete;
    RangeUploader& operator=(const RangeUploader&) = delete;

    // Set before the first append: every closed range and finished upload is recorded
    // there; `syncWithRanges` runs on the worker as each range is synced.
    void setJournal(std::shared_ptr<TakeJournal> journal, std::function<void()> syncWithRanges = {});

    void append(const StreamSegment& segment);
    // Cuts the tail, waits for every upload, and returns the stream's byte count (nothing
    // when nothing was spooled). Throws CancellationError after abort, else the first
    // spooling error, else the first upload error.
    std::optional<int64_t> finish();
    // Stops everything and deletes the spool directory.
    void abort();

    std::optional<FragmentIndex> fragmentIndex() const;
    int64_t uploadedBytes() const;
    int64_t pendingBytes() const;
    StreamKey stream() const { return stream_; }
    const std::filesystem::path& spool() const { return spool_; }

    // A spool file's name: "%03d.part" or "%03d.mp4" of the range number.
    static std::string spoolName(int64_t n, const char* extension);
    // The cutting rule: a range closes at a fragment boundary once it holds enough bytes and seconds.
    static bool closesRange(int64_t pendingBytes, double elapsedSeconds, const Limits& limits) {
        return pendingBytes >= limits.minRangeBytes && elapsedSeconds >= limits.minRangeSeconds;
    }
    static Sleeper defaultSleeper();
    // Runs `attempt` until it succeeds, with exponential back-off between failures; the
    // last failure (or CancellationError when the sleep is interrupted) is thrown.
    template <typename Attempt>
    static auto withBackoff(const Limits& limits, const Sleeper& sleeper, Attempt attempt, std::stop_token stop)
        -> decltype(attempt());

private:
    struct InitJob {
        std::string data;
        uint32_t timescale;
    };
    struct RangeJob {
        int64_t n;
        std::filesystem::path part;  // renamed to `file` once synced
        std::filesystem::path file;
        int64_t offset;
        int64_t bytes;
        double t0;
        double t1;
        std::vector<FragmentIndex::Entry> entries;  // of every closed range, this one included
    };
    struct ManifestJob {
        int64_t ranges;
        int64_t bytes;
    };
    using Job = std::variant<InitJob, RangeJob, ManifestJob>;

    RangeUploader(std::string aid, StreamKey stream, BrindlowAPI api, std::shared_ptr<ObjectPutter> putter,
                  std::filesystem::path spool, Limits limits, OnRangeUploaded onRangeUploaded, Sleeper sleeper);

    // Cutting side, under lock_.
    void appendInit(const StreamSegment& segment);
    void appendFragment(const StreamSegment& segment);
    void write(const std::vector<uint8_t>& data);
    void closeRange(double t0, double t1);
    int64_t closeTail();
    double seconds(uint64_t ticks) const { return timescale_ ? double(ticks) / timescale_ : 0; }

    // Worker side.
    static void runJobs(std::stop_token stop, std::weak_ptr<RangeUploader> weak, std::shared_ptr<Channel<Job>> jobs);
    void run(const Job& job, std::stop_token stop);
    void seal(const RangeJob& range);
    void ensureURLs(int64_t n, std::stop_token stop);
    template <typename Attempt>
    auto withBackoff(Attempt attempt, std::stop_token stop) -> decltype(attempt()) {
        return withBackoff(limits_, sleeper_, std::move(attempt), stop);
    }
    bool journal(const std::function<void(TakeRecord::Stream&)>& change);

    const std::string aid_;
    const StreamKey stream_;
    const BrindlowAPI api_;
    const std::shared_ptr<ObjectPutter> putter_;
    const std::filesystem::path spool_;
    const Limits limits_;
    const OnRangeUploaded onRangeUploaded_;
    const Sleeper sleeper_;

    mutable std::mutex lock_;  // the cutting side
    int openFile_ = -1;                        // guarded by lock_
    std::filesystem::path openPath_;           // guarded by lock_
    int64_t openBytes_ = 0;                    // guarded by lock_
    int64_t rangeBase_ = 0;                    // guarded by lock_; stream offset of the open range
    uint64_t rangeStartTime_ = 0;              // guarded by lock_; in timescale ticks
    uint64_t lastFragmentTime_ = 0;            // guarded by lock_; in timescale ticks
    uint32_t timescale_ = 0;                   // guarded by lock_; 0 until the init segment
    int64_t nextRange_ = 0;                    // guarded by lock_
    int64_t totalBytes_ = 0;                   // guarded by lock_
    std::optional<FragmentIndex> index_;       // guarded by lock_
    std::exception_ptr cutFailure_;            // guarded by lock_
    bool finished_ = false;                    // guarded by lock_
    bool aborted_ = false;                     // guarded by lock_
    std::shared_ptr<TakeJournal> journal_;     // set before the first append
    std::function<void()> syncWithRanges_;     // set before the first append

    const std::shared_ptr<Channel<Job>> jobs_ = std::make_shared<Channel<Job>>();

    // The worker's own; uploadFailure_ is read by finish only after the worker ended.
    std::vector<std::string> urls_;
    int64_t urlBase_ = 0;
    std::optional<std::string> initURL_;
    std::optional<std::string> manifestURL_;
    std::exception_ptr uploadFailure_;

    mutable std::mutex counters_;
    int64_t uploadedBytes_ = 0;  // guarded by counters_
    int64_t spooledBytes_ = 0;   // guarded by counters_; spooled, not yet uploaded

    std::jthread worker_;  // last: stops before the state it uses goes away
};

template <typename Attempt>
auto RangeUploader::withBackoff(const Limits& limits, const Sleeper& sleeper, Attempt attempt, std::stop_token stop)
    -> decltype(attempt()) {
    for (int64_t a = 0;; ++a) {
        try {
            return attempt();
        } catch (...) {
            if (stop.stop_requested() || a + 1 >= limits.maxAttempts) throw;
            const double wait = std::min(limits.retryMaxSeconds, limits.retryBaseSeconds * std::pow(2.0, double(a + 1)));
            if (!sleeper(wait, stop)) throw CancellationError();
        }
    }
}

}  // namespace brindlow
