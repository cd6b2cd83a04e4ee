#include "RangeUploader.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "MP4Boxes.h"
#include "RecorderError.h"
#include "Support/PrivateFiles.h"
#include "Support/SignalStack.h"

namespace brindlow {
namespace fs = std::filesystem;

namespace {

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

std::string RangeUploader::spoolName(int64_t n, const char* extension) {
    char name[32];
    std::snprintf(name, sizeof name, "%03lld.%s", static_cast<long long>(n), extension);
    return name;
}

std::shared_ptr<RangeUploader> RangeUploader::make(std::string aid, StreamKey stream, BrindlowAPI api,
                                                   std::shared_ptr<ObjectPutter> putter, const fs::path& spoolDirectory,
                                                   Limits limits, OnRangeUploaded onRangeUploaded, Sleeper sleeper) {
    fs::path spool = spoolDirectory / aid / std::string(rawValue(stream));
    makePrivateDirectory(spoolDirectory / aid);
    makePrivateDirectory(spool);
    if (!sleeper) sleeper = defaultSleeper();
    if (!limits.sync) limits.sync = [](int fd) { return ::fsync(fd); };
    std::shared_ptr<RangeUploader> uploader(new RangeUploader(std::move(aid), stream, std::move(api), std::move(putter),
                                                              std::move(spool), limits, std::move(onRangeUploaded),
                                                              std::move(sleeper)));
    // The worker holds the uploader only weakly: releasing it ends the worker.
    uploader->worker_ = std::jthread(&RangeUploader::runJobs, std::weak_ptr(uploader), uploader->jobs_);
    return uploader;
}

RangeUploader::Sleeper RangeUploader::defaultSleeper() {
    return [](double seconds, std::stop_token stop) {
        return sleepFor(std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(seconds)), stop);
    };
}

RangeUploader::RangeUploader(std::string aid, StreamKey stream, BrindlowAPI api, std::shared_ptr<ObjectPutter> putter,
                             fs::path spool, Limits limits, OnRangeUploaded onRangeUploaded, Sleeper sleeper)
    : aid_(std::move(aid)),
      stream_(stream),
      api_(std::move(api)),
      putter_(std::move(putter)),
      spool_(std::move(spool)),
      limits_(limits),
      onRangeUploaded_(std::move(onRangeUploaded)),
      sleeper_(std::move(sleeper)) {}

RangeUploader::~RangeUploader() {
    jobs_->finish();
    worker_.request_stop();
    // The worker may itself drop the last reference; it must not wait for itself.
    if (worker_.joinable() && worker_.get_id() == std::this_thread::get_id()) worker_.detach();
    if (openFile_ >= 0) ::close(openFile_);
}

void RangeUploader::setJournal(std::shared_ptr<TakeJournal> journal, std::function<void()> syncWithRanges) {
    std::lock_guard guard(lock_);
    journal_ = std::move(journal);
    syncWithRanges_ = std::move(syncWithRanges);
}

bool RangeUploader::journal(const std::function<void(TakeRecord::Stream&)>& change) {
    std::shared_ptr<TakeJournal> journal;
    {
        std::lock_guard guard(lock_);
        journal = journal_;
    }
    return !journal || journal->update(stream_, change);
}

// ---- cutting side ----

void RangeUploader::append(const StreamSegment& segment) {
    std::lock_guard guard(lock_);
    if (finished_ || aborted_ || cutFailure_ || segment.data.empty()) return;
    try {
        if (segment.kind == StreamSegment::Kind::initialization) appendInit(segment);
        else appendFragment(segment);
    } catch (...) {
        cutFailure_ = std::current_exception();
    }
}

void RangeUploader::appendInit(const StreamSegment& segment) {
    if (index_) return;  // only the first init segment counts
    timescale_ = MP4Boxes::timescale(segment.data);
    index_ = FragmentIndex{int64_t(segment.data.size()), timescale_, {}, 0};
    jobs_->send(InitJob{std::string(segment.data.begin(), segment.data.end()), timescale_});
    write(segment.data);
}

void RangeUploader::appendFragment(const StreamSegment& segment) {
    // The segment's index entry also gives its decode time (the latest one when it has none).
    const FragmentIndex::Entry entry = FragmentIndex::entryFor(segment.data, totalBytes_, lastFragmentTime_);
    const uint64_t t = entry.decodeTime;
    lastFragmentTime_ = std::max(lastFragmentTime_, t);
    const int64_t pending = totalBytes_ - rangeBase_;
    const double elapsed = seconds(t - rangeStartTime_);
    if (closesRange(pending, elapsed, limits_)) {
        closeRange(seconds(rangeStartTime_), seconds(t));
        rangeStartTime_ = t;
    }
    if (index_) index_->entries.push_back(entry);
    write(segment.data);
}

void RangeUploader::write(const std::vector<uint8_t>& data) {
    if (openFile_ < 0) {
        const fs::path path = spool_ / spoolName(nextRange_, "part");
        openFile_ = openPrivateFile(path, O_TRUNC);
        openPath_ = path;
    }
    // Straight to the file: a killed process then loses nothing the encoder handed over.
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(openFile_, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throwErrno("cannot write " + openPath_.string());
        done += size_t(n);
    }
    openBytes_ += int64_t(data.size());
    totalBytes_ += int64_t(data.size());
    std::lock_guard counters(counters_);
    spooledBytes_ += int64_t(data.size());
}

void RangeUploader::closeRange(double t0, double t1) {
    if (openFile_ < 0 || openBytes_ < 1) return;
    // Only closed here: the sync, the rename and the record are the worker's (seal).
    const int closed = ::close(openFile_);
    openFile_ = -1;
    if (closed != 0) throwErrno("cannot close " + openPath_.string());
    jobs_->send(RangeJob{nextRange_, openPath_, spool_ / spoolName(nextRange_, "mp4"), rangeBase_, openBytes_, t0, t1,
                         index_ ? index_->entries : std::vector<FragmentIndex::Entry>{}});
    nextRange_ += 1;
    rangeBase_ += openBytes_;
    openBytes_ = 0;
    openPath_.clear();
}

int64_t RangeUploader::closeTail() {
    std::lock_guard guard(lock_);
    if (aborted_) throw CancellationError();
    finished_ = true;
    if (cutFailure_) {
        jobs_->finish();
        std::rethrow_exception(cutFailure_);
    }
    if (totalBytes_ >= 1) {
        try {
            if (timescale_) closeRange(seconds(rangeStartTime_), seconds(lastFragmentTime_) + limits_.tailSeconds);
            else closeRange(0, limits_.tailSeconds);
        } catch (...) {
            jobs_->finish();
            throw;
        }
        jobs_->send(ManifestJob{nextRange_, totalBytes_});
    }
    jobs_->finish();
    return totalBytes_;
}

std::optional<int64_t> RangeUploader::finish() {
    const int64_t total = closeTail();
    if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
    if (uploadFailure_) std::rethrow_exception(uploadFailure_);
    if (total == 0) return std::nullopt;
    return total;
}

void RangeUploader::abort() {
    {
        std::lock_guard guard(lock_);
        aborted_ = true;
        if (openFile_ >= 0) ::close(openFile_);
        openFile_ = -1;
    }
    jobs_->finish();
    worker_.request_stop();
    std::error_code ignored;
    fs::remove_all(spool_, ignored);
}

std::optional<FragmentIndex> RangeUploader::fragmentIndex() const {
    std::lock_guard guard(lock_);
    if (!index_ || index_->entries.empty()) return std::nullopt;
    FragmentIndex index = *index_;
    index.totalBytes = totalBytes_;
    return index;
}

int64_t RangeUploader::uploadedBytes() const {
    std::lock_guard guard(counters_);
    return uploadedBytes_;
}

int64_t RangeUploader::pendingBytes() const {
    std::lock_guard guard(counters_);
    return spooledBytes_;
}

// ---- worker ----

void RangeUploader::runJobs(std::stop_token stop, std::weak_ptr<RangeUploader> weak, std::shared_ptr<Channel<Job>> jobs) {
    ensureSignalStack();
    while (auto job = jobs->receive()) {
        auto self = weak.lock();
        if (!self) return;
        if (stop.stop_requested()) continue;  // aborted: the spool goes
        try {
            // After a failed upload the rest stays on disk for recovery, synced and recorded.
            if (!self->uploadFailure_) self->run(*job, stop);
            else if (const auto* range = std::get_if<RangeJob>(&*job)) self->seal(*range);
        } catch (...) {
            if (!self->uploadFailure_) self->uploadFailure_ = std::current_exception();
        }
    }
}

void RangeUploader::ensureURLs(int64_t n, std::stop_token stop) {
    while (!(initURL_ && n < urlBase_ + int64_t(urls_.size()))) {
        const int64_t from = initURL_ ? urlBase_ + int64_t(urls_.size()) : 0;
        const SignedRangeBatch batch = withBackoff(
            [&] {
                SignedRangeBatch b = api_.signRangeURLs(aid_, stream_, from, limits_.signBatch, stop);
                // An answer that adds nothing would have us ask again forever: count it as a failure.
                if (b.urls.empty() && limits_.signBatch > 0)
                    throw RecorderError::uploadFailed("no signed URL for range " + std::to_string(from));
                return b;
            },
            stop);
        if (!initURL_) {
            initURL_ = batch.initUrl;
            manifestURL_ = batch.manifestUrl;
            urlBase_ = from;
            urls_ = batch.urls;
        } else {
            urls_.insert(urls_.end(), batch.urls.begin(), batch.urls.end());
        }
    }
}

void RangeUploader::seal(const RangeJob& range) {
    // On disk before the record names it: a power loss costs at most the ranges not yet sealed.
    const int fd = ::open(range.part.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throwErrno("cannot open " + range.part.string());
    const bool synced = limits_.sync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    if (!synced) throwErrno("cannot sync " + range.part.string());
    fs::rename(range.part, range.file);
    journal([&](TakeRecord::Stream& s) {
        s.ranges.push_back(TakeRecord::Range{range.n, range.t0, range.t1, range.offset, range.bytes, false, false});
        s.entries = range.entries;
    });
    std::function<void()> alongside;
    {
        std::lock_guard guard(lock_);
        alongside = syncWithRanges_;
    }
    if (alongside) alongside();
}

void RangeUploader::run(const Job& job, std::stop_token stop) {
    if (const auto* init = std::get_if<InitJob>(&job)) {
        journal([&](TakeRecord::Stream& s) {
            s.initLength = int64_t(init->data.size());
            s.timescale = init->timescale;
        });
        ensureURLs(0, stop);
        withBackoff([&] { putter_->put(*initURL_, std::string_view(init->data), "video/mp4", stop); }, stop);
        journal([](TakeRecord::Stream& s) { s.initUploaded = true; });
    } else if (const auto* range = std::get_if<RangeJob>(&job)) {
        seal(*range);
        ensureURLs(range->n, stop);
        const int64_t i = range->n - urlBase_;
        if (i < 0 || i >= int64_t(urls_.size()))
            throw RecorderError::uploadFailed("no signed URL for range " + std::to_string(range->n));
        withBackoff([&] { putter_->put(urls_[size_t(i)], range->file, "video/mp4", stop); }, stop);
        const int64_t n = range->n;
        // Deleted only once the record says it went up: else recovery would find it lost.
        if (journal([n](TakeRecord::Stream& s) {
                if (n < int64_t(s.ranges.size())) s.ranges[size_t(n)].uploaded = true;
            })) {
            std::error_code ignored;
            fs::remove(range->file, ignored);
        }
        {
            std::lock_guard guard(counters_);
            uploadedBytes_ += range->bytes;
            spooledBytes_ -= range->bytes;
        }
        if (onRangeUploaded_) onRangeUploaded_(range->n, range->t0, range->t1);
    } else if (const auto* manifest = std::get_if<ManifestJob>(&job)) {
        ensureURLs(0, stop);
        // Keys sorted: "bytes" before "ranges".
        const std::string body = "{\"bytes\":" + std::to_string(manifest->bytes) +
                                 ",\"ranges\":" + std::to_string(manifest->ranges) + "}";
        withBackoff([&] { putter_->put(*manifestURL_, std::string_view(body), "application/json", stop); }, stop);
        // A record written now holds every upload before it too; else their files stay.
        if (journal([](TakeRecord::Stream& s) { s.manifest = true; })) {
            std::error_code ignored;
            fs::remove_all(spool_, ignored);
        }
    }
}

}  // namespace brindlow
