#include "TakeRecovery.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "MP4Boxes.h"
#include "RecorderError.h"
#include "Support/AtomicFile.h"
#include "Telemetry.h"

namespace brindlow {
namespace fs = std::filesystem;
using Kind = RecoveryOutcome::Kind;

namespace {

std::optional<std::chrono::system_clock::time_point> parseTime(const std::string& iso) {
    std::tm tm{};
    if (std::sscanf(iso.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec) != 6)
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return std::chrono::system_clock::from_time_t(timegm(&tm));
}

// A refusal that asking again will not change: the backend does not know the take or
// will not take it. Sign-in and rate limits pass; so does "already registered".
bool refusedForGood(int status) {
    return status >= 400 && status < 500 && status != 401 && status != 408 && status != 409 && status != 429;
}

MP4Boxes::Bytes bytesOf(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

void log(const std::string& line) { systemLog("Brindlow Recorder: " + line); }

}  // namespace

std::string_view RecoveryOutcome::kindName() const {
    switch (kind) {
        case Kind::saved: return "saved";
        case Kind::discarded: return "discarded";
        case Kind::waiting: return "waiting";
        case Kind::busy: return "busy";
        case Kind::abandoned: return "abandoned";
        case Kind::failed: return "failed";
    }
    return "failed";
}

TakeRecovery::TakeRecovery(BrindlowAPI api, std::shared_ptr<ObjectPutter> putter, fs::path spool, Options options)
    : api_(std::move(api)), putter_(std::move(putter)), spool_(std::move(spool)), options_([&] {
          if (!options.sleeper) options.sleeper = RangeUploader::defaultSleeper();
          if (!options.now) options.now = [] { return std::chrono::system_clock::now(); };
          return options;
      }()) {}

std::vector<TakeRecord> TakeRecovery::pending() const {
    std::vector<TakeRecord> takes;
    std::error_code ec;
    for (fs::directory_iterator it(spool_, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path folder = it->path();
        const std::string name = folder.filename().string();
        if (name == abandonedFolder || !it->is_directory()) continue;
        if (!fs::exists(folder / TakeJournal::fileName)) {
            // A take that just began may not have written its record yet: only old empty folders go.
            std::error_code ignored;
            const auto modified = fs::last_write_time(folder, ignored);
            if (!ignored && fs::is_empty(folder, ignored) && !ignored &&
                fs::file_time_type::clock::now() - modified > std::chrono::minutes(1))
                fs::remove(folder, ignored);
            continue;
        }
        try {
            takes.push_back(TakeJournal::open(folder)->record());
        } catch (const std::exception&) {
            TakeRecord unreadable;
            unreadable.aid = name;
            takes.push_back(std::move(unreadable));
        }
    }
    std::stable_sort(takes.begin(), takes.end(),
                     [](const TakeRecord& a, const TakeRecord& b) { return a.createdAt < b.createdAt; });
    return takes;
}

std::vector<RecoveryOutcome> TakeRecovery::recoverAll(const RecorderUser& user, std::stop_token stop) {
    std::vector<RecoveryOutcome> outcomes;
    for (const auto& take : pending()) {
        if (stop.stop_requested()) break;
        outcomes.push_back(recover(take.aid, user, stop));
    }
    return outcomes;
}

RecoveryOutcome TakeRecovery::abandon(const std::string& aid, const std::string& reason) {
    const fs::path into = spool_ / abandonedFolder;
    std::error_code ec;
    fs::create_directories(into, ec);
    fs::path target = into / aid;
    for (int i = 1; fs::exists(target, ec); ++i) target = into / (aid + "-" + std::to_string(i));
    fs::rename(spool_ / aid, target, ec);
    if (ec) {
        log("cannot move take " + aid + " aside: " + ec.message() + "; kept in place");
        return {aid, Kind::failed, std::nullopt, 0, reason};
    }
    log("gave up take " + aid + " (" + reason + "); its files are in " + target.string());
    return {aid, Kind::abandoned, std::nullopt, 0, reason};
}

RecoveryOutcome TakeRecovery::recover(const std::string& aid, const RecorderUser& user, std::stop_token stop) {
    const fs::path folder = spool_ / aid;
    const auto lock = TakeLock::tryAcquire(folder);
    if (!lock) return {aid, Kind::busy, std::nullopt, 0, "another Brindlow Recorder is working on it"};
    std::shared_ptr<TakeJournal> journal;
    try {
        journal = TakeJournal::open(folder);
    } catch (const std::exception& error) {
        return abandon(aid, error.what());
    }
    const TakeRecord record = journal->record();
    if (record.closed) {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        return {aid, Kind::saved, record.folderId, record.duration.value_or(0), "already filed"};
    }
    if (record.environment != api_.env().name)
        return {aid, Kind::waiting, std::nullopt, 0, "recorded against the " + record.environment + " backend"};
    if (record.uid != user.uid)
        return {aid, Kind::waiting, std::nullopt, 0, "recorded by another account (" + record.uid + ")"};
    const auto created = parseTime(record.createdAt);
    if (!created || options_.now() - *created > options_.maxAge)
        return abandon(aid, "older than " + std::to_string(options_.maxAge.count() / 24) + " days");
    try {
        RecoveryOutcome outcome = finish(*journal, user, stop);
        log("recovered take " + aid + ": " + std::string(outcome.kindName()));
        return outcome;
    } catch (const HTTPError& error) {
        if (refusedForGood(error.status())) return abandon(aid, std::string("the backend refused it: ") + error.what());
        return {aid, Kind::failed, std::nullopt, 0, error.what()};
    } catch (const std::exception& error) {
        return {aid, Kind::failed, std::nullopt, 0, error.what()};
    }
}

RecoveryOutcome TakeRecovery::finish(TakeJournal& journal, const RecorderUser& user, std::stop_token stop) {
    const TakeRecord record = journal.record();
    const std::string& aid = record.aid;
    if (!record.registered) {
        try {
            api_.registerRecording(aid, record.streams, record.languageCode, stop);
        } catch (const HTTPError& error) {
            if (error.status() != 409) throw;  // 409: the earlier attempt did arrive
        }
        journal.update([](TakeRecord& r) { r.registered = true; });
    }
    // Screen before camera, as a live take finishes them.
    std::vector<StreamKey> keys;
    for (const auto& stream : record.streams) keys.push_back(stream.key);
    std::sort(keys.begin(), keys.end(), [](StreamKey a, StreamKey b) { return rawValue(a) > rawValue(b); });
    std::optional<double> end;
    for (const StreamKey key : keys) {
        if (const auto streamEnd = finishStream(journal, key, stop)) end = std::max(end.value_or(0), *streamEnd);
    }
    const fs::path folder = journal.folder();
    if (!end) {
        api_.close(aid, CloseStatus::discarded, std::nullopt, stop);
        journal.update([](TakeRecord& r) { r.closed = true; });
        std::error_code ignored;
        fs::remove_all(folder, ignored);
        return {aid, Kind::discarded, std::nullopt, 0, "nothing playable was left"};
    }
    const double duration = record.duration.value_or(*end);
    if (!journal.record().folder) {
        std::optional<std::string> folderId;
        try {
            folderId = api_.createFolder(user, aid, stop);
        } catch (const std::exception&) {
            // Filed without a folder, as a live take would be.
        }
        journal.update([&](TakeRecord& r) {
            r.folder = true;
            r.folderId = folderId;
        });
    }
    const auto folderId = journal.record().folderId;
    if (!journal.record().asset) {
        api_.registerAsset(aid, folderId, record.languageCode, duration, stop);
        journal.update([](TakeRecord& r) { r.asset = true; });
    }
    api_.close(aid, CloseStatus::saved, folderId, stop);
    journal.update([](TakeRecord& r) { r.closed = true; });
    std::error_code ignored;
    fs::remove_all(folder, ignored);
    return {aid, Kind::saved, folderId, duration, {}};
}

void TakeRecovery::cutOpenRange(TakeJournal& journal, StreamKey key) {
    const fs::path dir = journal.folder() / std::string(rawValue(key));
    TakeRecord::Stream stream = journal.record().media[key];
    const int64_t n = int64_t(stream.ranges.size());
    std::error_code ignored;
    // Parts of ranges already closed are leftovers of an earlier recovery.
    for (int64_t k = 0; k < n; ++k) fs::remove(dir / RangeUploader::spoolName(k, "part"), ignored);
    // The range being filled: its part, or a closed file the record did not get to name.
    fs::path open = dir / RangeUploader::spoolName(n, "part");
    if (!fs::exists(open)) open = dir / RangeUploader::spoolName(n, "mp4");
    const auto contents = readFile(open);
    if (!contents) return;
    const auto bytes = bytesOf(*contents);

    int64_t from = 0;
    if (n == 0) {
        // The first range starts with the init segment; its length comes from the boxes when unrecorded.
        if (stream.initLength == 0) {
            const auto boxes = MP4Boxes::boxes(bytes);
            if (boxes.size() >= 2 && boxes[0].type == "ftyp" && boxes[1].type == "moov")
                stream.initLength = boxes[1].offset + boxes[1].size;
        }
        if (stream.initLength == 0 || stream.initLength > int64_t(bytes.size())) {
            fs::remove(open, ignored);
            return;
        }
        if (stream.timescale == 0) stream.timescale = MP4Boxes::timescale(bytes.subspan(0, size_t(stream.initLength)));
        from = stream.initLength;
    }
    const double timescale = stream.timescale ? double(stream.timescale) : 30000.0;
    const auto fragments = MP4Boxes::completeFragments(bytes, from);

    // The usual cutting rule over what survived; the last range may be short.
    const int64_t base = stream.closedBytes();
    uint64_t rangeStart = n == 0 ? 0 : uint64_t(std::llround(stream.ranges.back().t1 * timescale));
    uint64_t latest = rangeStart;
    int64_t position = 0;  // file position where the range being cut begins
    std::vector<TakeRecord::Range> ranges;
    auto close = [&](int64_t endPosition, double t1) {
        ranges.push_back({n + int64_t(ranges.size()), double(rangeStart) / timescale, t1, base + position,
                          endPosition - position, false, false});
        position = endPosition;
    };
    for (const auto& f : fragments) {
        const auto fragment = bytes.subspan(size_t(f.offset), size_t(f.end - f.offset));
        const uint64_t t = MP4Boxes::decodeTime(fragment).value_or(latest);
        latest = std::max(latest, t);
        if (f.offset > position && RangeUploader::closesRange(f.offset - position, double(t - rangeStart) / timescale,
                                                              options_.limits)) {
            close(f.offset, double(t) / timescale);
            rangeStart = t;
        }
        stream.entries.push_back(FragmentIndex::Entry{base + f.offset, f.end - f.offset, t});
    }
    const int64_t kept = fragments.empty() ? from : fragments.back().end;
    if (!fragments.empty()) {
        const auto last = bytes.subspan(size_t(fragments.back().offset), size_t(fragments.back().end - fragments.back().offset));
        const auto length = MP4Boxes::fragmentDuration(last);
        const double end = length ? double(latest + *length) / timescale : double(latest) / timescale + options_.limits.tailSeconds;
        close(kept, end);
    }
    if (n == 0 && fragments.empty()) {
        fs::remove(open, ignored);  // an init segment alone plays nothing
        return;
    }
    // Files first, then the record that names them, then the part goes.
    for (const auto& range : ranges) {
        writeFileAtomically(dir / RangeUploader::spoolName(range.n, "mp4"),
                            std::string_view(*contents).substr(size_t(range.offset - base), size_t(range.bytes)));
    }
    journal.update(key, [&](TakeRecord::Stream& s) {
        s.initLength = stream.initLength;
        s.timescale = stream.timescale;
        s.ranges.insert(s.ranges.end(), ranges.begin(), ranges.end());
        s.entries = stream.entries;
    });
    if (open.extension() == ".part") fs::remove(open, ignored);
}

std::optional<double> TakeRecovery::finishStream(TakeJournal& journal, StreamKey key, std::stop_token stop) {
    cutOpenRange(journal, key);
    const TakeRecord record = journal.record();
    const auto found = record.media.find(key);
    if (found == record.media.end() || found->second.ranges.empty()) return std::nullopt;
    const TakeRecord::Stream& stream = found->second;
    const fs::path dir = journal.folder() / std::string(rawValue(key));
    const std::string& aid = record.aid;

    std::optional<SignedRangeBatch> signedURLs;
    int64_t signedFrom = 0;
    auto urls = [&](int64_t n) -> const SignedRangeBatch& {
        if (!signedURLs || n < signedFrom || n >= signedFrom + int64_t(signedURLs->urls.size())) {
            const int64_t count = std::max<int64_t>(1, std::min<int64_t>(options_.limits.signBatch,
                                                                         int64_t(stream.ranges.size()) - n));
            signedURLs = api_.signRangeURLs(aid, key, n, count, stop);
            signedFrom = n;
            if (int64_t(signedURLs->urls.size()) < std::min<int64_t>(count, int64_t(stream.ranges.size()) - n))
                throw RecorderError::uploadFailed("no signed URL for range " + std::to_string(n));
        }
        return *signedURLs;
    };
    auto put = [&](const std::string& url, auto body, const char* type) {
        RangeUploader::withBackoff(options_.limits, options_.sleeper, [&] { putter_->put(url, body, type, stop); }, stop);
    };

    if (!stream.initUploaded) {
        const auto first = readFile(dir / RangeUploader::spoolName(0, "mp4"));
        if (!first || int64_t(first->size()) < stream.initLength)
            throw RecorderError::uploadFailed("the " + std::string(rawValue(key)) + " stream's init segment is lost");
        put(urls(0).initUrl, std::string_view(*first).substr(0, size_t(stream.initLength)), "video/mp4");
        journal.update(key, [](TakeRecord::Stream& s) { s.initUploaded = true; });
    }
    for (const auto& range : stream.ranges) {
        if (!range.uploaded) {
            const fs::path file = dir / RangeUploader::spoolName(range.n, "mp4");
            if (!fs::exists(file))
                throw RecorderError::uploadFailed("range " + std::to_string(range.n) + " of the " +
                                                  std::string(rawValue(key)) + " stream is lost");
            put(urls(range.n).urls.at(size_t(range.n - signedFrom)), file, "video/mp4");
            journal.update(key, [n = range.n](TakeRecord::Stream& s) { s.ranges[size_t(n)].uploaded = true; });
            std::error_code ignored;
            fs::remove(file, ignored);
        }
        if (!range.notified) {
            api_.notifyRange(aid, key, range.n, range.t0, range.t1, stop);
            journal.update(key, [n = range.n](TakeRecord::Stream& s) { s.ranges[size_t(n)].notified = true; });
        }
    }
    const int64_t total = stream.closedBytes();
    if (!stream.manifest) {
        const std::string body = "{\"bytes\":" + std::to_string(total) +
                                 ",\"ranges\":" + std::to_string(stream.ranges.size()) + "}";
        put(urls(0).manifestUrl, std::string_view(body), "application/json");
        journal.update(key, [](TakeRecord::Stream& s) { s.manifest = true; });
    }
    if (!stream.finalNotice) {
        api_.notifyRangesFinal(aid, key, stop);
        journal.update(key, [](TakeRecord::Stream& s) { s.finalNotice = true; });
    }
    if (!stream.index) {
        api_.sendIndex(aid, key, FragmentIndex{stream.initLength, stream.timescale, stream.entries, total}, stop);
        journal.update(key, [](TakeRecord::Stream& s) { s.index = true; });
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return stream.ranges.back().t1;
}

}  // namespace brindlow
