#include "TakeJournal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <stdexcept>

#include "Support/AtomicFile.h"
#include "Support/PrivateFiles.h"
#include "Telemetry.h"

namespace brindlow {
namespace fs = std::filesystem;
using ojson = nlohmann::ordered_json;

namespace {

template <typename T>
std::optional<T> optionalMember(const nlohmann::json& j, const char* key) {
    if (!j.contains(key) || j.at(key).is_null()) return std::nullopt;
    return j.at(key).get<T>();
}

ojson optionalValue(const auto& value) { return value ? ojson(*value) : ojson(nullptr); }

}  // namespace

ojson TakeRecord::toJSON() const {
    ojson j;
    j["version"] = 1;
    j["aid"] = aid;
    j["uid"] = uid;
    j["environment"] = environment;
    j["createdAt"] = createdAt;
    j["languageCode"] = optionalValue(languageCode);
    j["streams"] = ojson::array();
    for (const auto& s : streams) j["streams"].push_back(brindlow::toJSON(s));
    j["registered"] = registered;
    ojson media = ojson::object();
    for (const auto& [key, s] : this->media) {
        ojson ranges = ojson::array();
        for (const auto& r : s.ranges)
            ranges.push_back({{"n", r.n}, {"t0", r.t0}, {"t1", r.t1}, {"offset", r.offset}, {"bytes", r.bytes},
                              {"uploaded", r.uploaded}, {"notified", r.notified}});
        const FragmentIndex entries{s.initLength, s.timescale, s.entries, 0};
        media[std::string(rawValue(key))] = {{"initLength", s.initLength}, {"timescale", s.timescale},
                                             {"initUploaded", s.initUploaded}, {"ranges", ranges},
                                             {"entries", entries.toJSON()["entries"]}, {"manifest", s.manifest},
                                             {"final", s.finalNotice}, {"index", s.index}};
    }
    j["media"] = media;
    j["duration"] = optionalValue(duration);
    j["cursorLog"] = cursorLog;
    j["folder"] = folder;
    j["folderId"] = optionalValue(folderId);
    j["asset"] = asset;
    j["closed"] = closed;
    return j;
}

TakeRecord TakeRecord::fromJSON(const nlohmann::json& j) {
    TakeRecord r;
    r.aid = j.at("aid").get<std::string>();
    r.uid = j.at("uid").get<std::string>();
    r.environment = j.at("environment").get<std::string>();
    r.createdAt = j.at("createdAt").get<std::string>();
    r.languageCode = optionalMember<std::string>(j, "languageCode");
    for (const auto& s : j.at("streams"))
        r.streams.push_back(StreamInfo{s.at("key").get<StreamKey>(), s.at("mimeType").get<std::string>(),
                                       integerMember<int64_t>(s, "width"), integerMember<int64_t>(s, "height")});
    r.registered = j.at("registered").get<bool>();
    for (const auto& [name, s] : j.at("media").items()) {
        const StreamKey key = nlohmann::json(name).get<StreamKey>();
        Stream stream;
        stream.initLength = integerMember<int64_t>(s, "initLength");
        stream.timescale = integerMember<uint32_t>(s, "timescale");
        stream.initUploaded = s.at("initUploaded").get<bool>();
        for (const auto& range : s.at("ranges"))
            stream.ranges.push_back(Range{integerMember<int64_t>(range, "n"), range.at("t0").get<double>(),
                                          range.at("t1").get<double>(), integerMember<int64_t>(range, "offset"),
                                          integerMember<int64_t>(range, "bytes"), range.at("uploaded").get<bool>(),
                                          range.at("notified").get<bool>()});
        // The index's own reader checks every entry.
        stream.entries = FragmentIndex::fromJSON({{"initLength", 0}, {"timescale", 0}, {"entries", s.at("entries")},
                                                  {"totalBytes", 0}})
                             .entries;
        stream.manifest = s.at("manifest").get<bool>();
        stream.finalNotice = s.at("final").get<bool>();
        stream.index = s.at("index").get<bool>();
        for (size_t i = 0; i < stream.ranges.size(); ++i) {
            const Range& range = stream.ranges[i];
            const int64_t expected = i == 0 ? 0 : stream.ranges[i - 1].offset + stream.ranges[i - 1].bytes;
            if (range.n != int64_t(i) || range.offset != expected || range.bytes < 1)
                throw nlohmann::json::other_error::create(501, "the ranges are not contiguous", &j);
        }
        r.media[key] = std::move(stream);
    }
    r.duration = optionalMember<double>(j, "duration");
    r.cursorLog = j.at("cursorLog").get<bool>();
    r.folder = j.at("folder").get<bool>();
    r.folderId = optionalMember<std::string>(j, "folderId");
    r.asset = j.at("asset").get<bool>();
    r.closed = j.at("closed").get<bool>();
    return r;
}

std::shared_ptr<TakeJournal> TakeJournal::create(fs::path folder, TakeRecord record) {
    makePrivateDirectory(folder);
    std::shared_ptr<TakeJournal> journal(new TakeJournal(std::move(folder), std::move(record), false));
    writeFileAtomically(journal->folder_ / fileName, journal->record_.toJSON().dump(), 0600);
    return journal;
}

std::shared_ptr<TakeJournal> TakeJournal::open(fs::path folder) {
    const auto text = readFile(folder / fileName);
    if (!text) throw std::runtime_error("no readable " + std::string(fileName) + " in " + folder.string());
    try {
        TakeRecord record = TakeRecord::fromJSON(nlohmann::json::parse(*text));
        if (record.aid != folder.filename().string()) throw std::runtime_error("it names another take");
        return std::shared_ptr<TakeJournal>(new TakeJournal(std::move(folder), std::move(record), true));
    } catch (const std::exception& error) {
        throw std::runtime_error("the record in " + folder.string() + " is unreadable: " + error.what());
    }
}

TakeJournal::TakeJournal(fs::path folder, TakeRecord record, bool strict)
    : folder_(std::move(folder)), strict_(strict), record_(std::move(record)) {}

bool TakeJournal::update(const std::function<void(TakeRecord&)>& change) {
    std::lock_guard guard(lock_);
    change(record_);
    return write();
}

bool TakeJournal::update(StreamKey key, const std::function<void(TakeRecord::Stream&)>& change) {
    return update([&](TakeRecord& record) { change(record.media[key]); });
}

TakeRecord TakeJournal::record() const {
    std::lock_guard guard(lock_);
    return record_;
}

bool TakeJournal::write() {
    try {
        writeFileAtomically(folder_ / fileName, record_.toJSON().dump(), 0600);
        return true;
    } catch (const std::exception& error) {
        if (strict_) throw std::runtime_error("cannot write the record of " + record_.aid + ": " + error.what());
        // A full disk must not end the take; the next change tries again.
        if (!complained_) systemLog("Brindlow Recorder: cannot write the record of " + record_.aid + ": " + error.what());
        complained_ = true;
        return false;
    }
}

std::unique_ptr<TakeLock> TakeLock::tryAcquire(const fs::path& folder) {
    const int fd = ::open((folder / "lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return nullptr;
    }
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) == 0) (void)!pwrite(fd, pid.data(), pid.size(), 0);
    return std::unique_ptr<TakeLock>(new TakeLock(fd));
}

TakeLock::~TakeLock() { close(fd_); }

}  // namespace brindlow
