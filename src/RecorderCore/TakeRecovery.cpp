#include "TakeRecovery.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "MP4Boxes.h"
#include "RecorderError.h"
#include "Support/AtomicFile.h"
#include "Support/PrivateFiles.h"
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

// The object store's refusal of a signed URL: most often one that expired while a slow
// recovery went on, which a fresh signature mends.
bool refusedURL(int status) { return status >= 400 && status < 500 && status != 408 && status != 429; }

std::chrono::system_clock::time_point toSystem(fs::file_time_type time) {
    return std::chrono::time_point_cast<std::chrono::system_clock::duration>(std::chrono::file_clock::to_sys(time));
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
          if (!options.limits.sync) options.limits.sync = [](int fd) { return ::fsync(fd); };
          return options;
      }()) {}

void TakeRecovery::pruneAbandoned() const {
    std::error_code ec;
    for (fs::directory_iterator it(spool_ / abandonedFolder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code failed;
        const auto setAside = fs::last_write_time(it->path(), failed);  // set when it was moved there
        if (failed || options_.now() - toSystem(setAside) <= options_.maxAge) continue;
        fs::remove_all(it->path(), failed);
        log("removed " + it->path().string() + ", set aside more than " + std::to_string(options_.maxAge.count() / 24) +
            " days ago" + (failed ? ": " + failed.message() : ""));
    }
}

std::vector<TakeRecord> TakeRecovery::pending() const {
    std::vector<TakeRecord> takes;
    if (fs::exists(spool_)) {
        try {
            makePrivateDirectory(spool_);
        } catch (const std::exception& error) {
            log(std::string("the spool is not read: ") + error.what());
            return takes;
        }
    }
    pruneAbandoned();
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
    try {
        makePrivateDirectory(into);
    } catch (const std::exception& error) {
        log("cannot set take " + aid + " aside: " + error.what() + "; kept in place");
        return {aid, Kind::failed, std::nullopt, 0, reason};
    }
    fs::path target = into / aid;
    for (int i = 1; fs::exists(target, ec); ++i) target = into / (aid + "-" + std::to_string(i));
    fs::rename(spool_ / aid, target, ec);
    if (ec) {
        log("cannot move take " + aid + " aside: " + ec.message() + "; kept in place");
        return {aid, Kind::failed, std::nullopt, 0, reason};
    }
    // Its age in abandoned/ counts from now.
    fs::last_write_time(target, std::chrono::file_clock::from_sys(options_.now()), ec);
    log("gave up take " + aid + " (" + reason + "); its files are in " + target.string());
    return {aid, Kind::abandoned, std::nullopt, 0, reason};
}

RecoveryOutcome TakeRecovery::recover(const std::string& aid, const RecorderUser& user, std::stop_token stop) {
    const fs::path folder = spool_ / aid;
    try {
        makePrivateDirectory(spool_);
    } catch (const std::exception& error) {
        return {aid, Kind::failed, std::nullopt, 0, std::string("the spool is not private: ") + error.what()};
    }
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
        tidyAway(record);
        return {aid, Kind::saved, record.folderId, record.duration.value_or(0), "already filed"};
    }
    // The later of its stated creation and its record's last change: a clock set right
    // after the take began must not age it at once. Waiting takes age too.
    auto created = parseTime(record.createdAt);
    std::error_code unreadable;
    const auto changed = fs::last_write_time(folder / TakeJournal::fileName, unreadable);
    if (!unreadable) created = std::max(created.value_or(toSystem(changed)), toSystem(changed));
    if (!created || options_.now() - *created > options_.maxAge)
        return abandon(aid, "older than " + std::to_string(options_.maxAge.count() / 24) + " days");
    if (record.environment != api_.env().name)
        return {aid, Kind::waiting, std::nullopt, 0, "recorded against the " + record.environment + " backend"};
    if (record.uid != user.uid)
        return {aid, Kind::waiting, std::nullopt, 0, "recorded by another account (" + record.uid + ")"};
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
        tidyAway(journal.record());
        return {aid, Kind::discarded, std::nullopt, 0, "nothing playable was left"};
    }
    const TakeRecord streamsDone = journal.record();
    const auto screen = streamsDone.media.find(StreamKey::screen);
    if (!record.cursorLog && screen != streamsDone.media.end() && !screen->second.ranges.empty()) {
        if (const auto text = readFile(folder / CursorLogSpool::fileName)) {
            if (const auto cursor = CursorLogSpool::read(*text)) {
                try {
                    api_.saveCursorLog(aid, *cursor, stop);
                    journal.update([](TakeRecord& r) { r.cursorLog = true; });
                } catch (const HTTPError& error) {
                    // The log rides along: its refusal costs the log, never the take.
                    if (!refusedForGood(error.status())) throw;
                    log("the cursor log of take " + aid + " was refused: " + error.what());
                }
            }
        }
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
    tidyAway(journal.record());
    return {aid, Kind::saved, folderId, duration, {}};
}

void TakeRecovery::tidyAway(const TakeRecord& record) {
    const fs::path folder = spool_ / record.aid;
    auto named = [&](const fs::path& path) {
        const std::string name = path.filename().string();
        const fs::path relative = path.lexically_relative(folder);
        if (relative == name) {
            if (name == TakeJournal::fileName || name == "lock" || name == CursorLogSpool::fileName) return true;
            // A record being replaced when the process died.
            if (name.starts_with("." + std::string(TakeJournal::fileName) + ".")) return true;
            for (const auto& [key, stream] : record.media)
                if (name == rawValue(key)) return true;
            return false;
        }
        for (const auto& [key, stream] : record.media) {
            if (relative.parent_path().string() != rawValue(key)) continue;
            for (const auto& range : stream.ranges)
                if (name == RangeUploader::spoolName(range.n, "mp4") || name == RangeUploader::spoolName(range.n, "part"))
                    return true;
        }
        return false;
    };
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (!named(it->path())) {
            log("take " + record.aid + " is filed, but " + it->path().string() + " is not in its record");
            abandon(record.aid, "it holds files its record does not name");
            return;
        }
    }
    if (!ec) fs::remove_all(folder, ec);
}

void TakeRecovery::nameSpooledRanges(TakeJournal& journal, StreamKey key) {
    const fs::path dir = journal.folder() / std::string(rawValue(key));
    TakeRecord::Stream stream = journal.record().media[key];
    const int64_t named = int64_t(stream.ranges.size());
    std::error_code ignored;
    // Parts of ranges already named are leftovers of an earlier recovery.
    for (int64_t k = 0; k < named; ++k) fs::remove(dir / RangeUploader::spoolName(k, "part"), ignored);

    // Each file is one range: the live take cut them at fragment boundaries. A file that
    // ends inside a fragment (the one being filled, or one a power loss tore) is cut
    // back and ends the walk, since what follows it no longer joins on.
    struct Piece {
        fs::path file;
        int64_t kept;
        bool whole;
    };
    std::vector<Piece> pieces;
    std::vector<TakeRecord::Range> ranges;
    int64_t base = stream.closedBytes();
    double timescale = stream.timescale ? double(stream.timescale) : 30000.0;
    for (int64_t k = named;; ++k) {
        fs::path file = dir / RangeUploader::spoolName(k, "mp4");
        if (!fs::exists(file)) file = dir / RangeUploader::spoolName(k, "part");
        const auto contents = fs::exists(file) ? readFile(file) : std::nullopt;
        if (!contents) break;
        const auto bytes = bytesOf(*contents);
        int64_t from = 0;
        if (k == 0) {
            // The first range starts with the init segment; its length comes from the boxes when unrecorded.
            if (stream.initLength == 0) {
                const auto boxes = MP4Boxes::boxes(bytes);
                if (boxes.size() >= 2 && boxes[0].type == "ftyp" && boxes[1].type == "moov")
                    stream.initLength = boxes[1].offset + boxes[1].size;
            }
            if (stream.initLength == 0 || stream.initLength > int64_t(bytes.size())) break;
            if (stream.timescale == 0) stream.timescale = MP4Boxes::timescale(bytes.subspan(0, size_t(stream.initLength)));
            timescale = stream.timescale ? double(stream.timescale) : 30000.0;
            from = stream.initLength;
        }
        const auto fragments = MP4Boxes::completeFragments(bytes, from);
        if (fragments.empty()) {
            // An init segment alone, or a torn first fragment, plays nothing; as the last file it goes.
            if (!fs::exists(dir / RangeUploader::spoolName(k + 1, "mp4")) &&
                !fs::exists(dir / RangeUploader::spoolName(k + 1, "part")))
                fs::remove(file, ignored);
            break;
        }
        const double previousEnd = ranges.empty() ? (named == 0 ? 0 : stream.ranges.back().t1) : ranges.back().t1;
        uint64_t latest = uint64_t(std::llround(previousEnd * timescale));
        for (const auto& f : fragments) {
            const uint64_t t =
                MP4Boxes::decodeTime(bytes.subspan(size_t(f.offset), size_t(f.end - f.offset))).value_or(latest);
            latest = std::max(latest, t);
            stream.entries.push_back(FragmentIndex::Entry{base + f.offset, f.end - f.offset, t});
        }
        const auto& last = fragments.back();
        const auto length = MP4Boxes::fragmentDuration(bytes.subspan(size_t(last.offset), size_t(last.end - last.offset)));
        const double end = length ? double(latest + *length) / timescale : double(latest) / timescale + options_.limits.tailSeconds;
        ranges.push_back({k, previousEnd, end, base, last.end, false, false});
        pieces.push_back({file, last.end, last.end == int64_t(bytes.size())});
        base += last.end;
        if (!pieces.back().whole) break;
    }
    if (ranges.empty()) return;
    // Each file cut back, synced and named ".mp4" before the record names it.
    for (const auto& piece : pieces) {
        if (!piece.whole) fs::resize_file(piece.file, uintmax_t(piece.kept));
        const int fd = ::open(piece.file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 || options_.limits.sync(fd) != 0) {
            if (fd >= 0) ::close(fd);
            throw std::system_error(errno, std::generic_category(), "cannot sync " + piece.file.string());
        }
        ::close(fd);
        if (piece.file.extension() == ".part") fs::rename(piece.file, fs::path(piece.file).replace_extension(".mp4"));
    }
    journal.update(key, [&](TakeRecord::Stream& s) {
        s.initLength = stream.initLength;
        s.timescale = stream.timescale;
        s.ranges.insert(s.ranges.end(), ranges.begin(), ranges.end());
        s.entries = stream.entries;
    });
}

std::optional<double> TakeRecovery::finishStream(TakeJournal& journal, StreamKey key, std::stop_token stop) {
    nameSpooledRanges(journal, key);
    const TakeRecord record = journal.record();
    const auto found = record.media.find(key);
    if (found == record.media.end() || found->second.ranges.empty()) return std::nullopt;
    const TakeRecord::Stream& stream = found->second;
    const fs::path dir = journal.folder() / std::string(rawValue(key));
    const std::string& aid = record.aid;

    std::optional<SignedRangeBatch> signedURLs;
    int64_t signedFrom = 0;
    auto urls = [&](int64_t n, bool fresh) -> const SignedRangeBatch& {
        if (fresh || !signedURLs || n < signedFrom || n >= signedFrom + int64_t(signedURLs->urls.size())) {
            const int64_t count = std::max<int64_t>(1, std::min<int64_t>(options_.limits.signBatch,
                                                                         int64_t(stream.ranges.size()) - n));
            signedURLs = api_.signRangeURLs(aid, key, n, count, stop);
            signedFrom = n;
            if (int64_t(signedURLs->urls.size()) < std::min<int64_t>(count, int64_t(stream.ranges.size()) - n))
                throw RecorderError::uploadFailed("no signed URL for range " + std::to_string(n));
        }
        return *signedURLs;
    };
    // A URL the object store refuses is signed again once; its refusal never abandons
    // the take (only the backend's refusal of the take does).
    auto put = [&](auto url, auto body, const char* type) {
        for (bool fresh = false;; fresh = true) {
            const std::string target = url(fresh);
            std::optional<HTTPError> refused;
            RangeUploader::withBackoff(
                options_.limits, options_.sleeper,
                [&] {
                    try {
                        putter_->put(target, body, type, stop);
                        refused.reset();
                    } catch (const HTTPError& error) {
                        if (!refusedURL(error.status())) throw;
                        refused = error;
                    }
                },
                stop);
            if (!refused) return;
            if (fresh) throw RecorderError::uploadFailed(std::string("the object store refused it: ") + refused->what());
        }
    };

    if (!stream.initUploaded) {
        const auto first = readFile(dir / RangeUploader::spoolName(0, "mp4"));
        if (!first || int64_t(first->size()) < stream.initLength)
            throw RecorderError::uploadFailed("the " + std::string(rawValue(key)) + " stream's init segment is lost");
        put([&](bool fresh) { return urls(0, fresh).initUrl; },
            std::string_view(*first).substr(0, size_t(stream.initLength)), "video/mp4");
        journal.update(key, [](TakeRecord::Stream& s) { s.initUploaded = true; });
    }
    for (const auto& range : stream.ranges) {
        if (!range.uploaded) {
            const fs::path file = dir / RangeUploader::spoolName(range.n, "mp4");
            if (!fs::exists(file))
                throw RecorderError::uploadFailed("range " + std::to_string(range.n) + " of the " +
                                                  std::string(rawValue(key)) + " stream is lost");
            put([&](bool fresh) { return urls(range.n, fresh).urls.at(size_t(range.n - signedFrom)); }, file, "video/mp4");
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
        put([&](bool fresh) { return urls(0, fresh).manifestUrl; }, std::string_view(body), "application/json");
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
    return stream.ranges.back().t1;
}

}  // namespace brindlow
