#include "TakeCatalog.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "Database.h"
#include "MP4Boxes.h"
#include "Support/AtomicFile.h"

namespace brindlow::devserver {
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// "<n>.mp4" names a range object; nothing else does.
std::optional<int64_t> rangeNumber(const std::string& name) {
    if (name.size() < 5 || name.size() > 14 || name.compare(name.size() - 4, 4, ".mp4") != 0) return std::nullopt;
    int64_t n = 0;
    for (size_t i = 0; i + 4 < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return std::nullopt;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

json parsed(const Database::Value& v) {
    auto j = json::parse(Database::text(v), nullptr, false);
    return j.is_discarded() ? json(nullptr) : j;
}

}  // namespace

std::string TakeCatalog::codecs(std::string_view initSegment) {
    const MP4Boxes::Bytes bytes(reinterpret_cast<const uint8_t*>(initSegment.data()), initSegment.size());
    const auto moov = MP4Boxes::find({"moov"}, bytes);
    if (!moov) return {};
    std::string out;
    for (const auto& trak : MP4Boxes::boxes(bytes, moov->offset + moov->header, moov->offset + moov->size)) {
        if (trak.type != "trak") continue;
        const auto stsd = MP4Boxes::find({"mdia", "minf", "stbl", "stsd"}, bytes, trak.offset + trak.header,
                                         trak.offset + trak.size);
        // A full box: version and flags, the entry count, then the sample entries.
        if (!stsd || stsd->size < stsd->header + 8) continue;
        const auto entries = MP4Boxes::boxes(bytes, stsd->offset + stsd->header + 8, stsd->offset + stsd->size);
        if (entries.empty()) continue;
        const auto& entry = entries.front();
        std::string codec;
        if (entry.type == "avc1" || entry.type == "avc3") {
            // A visual sample entry's fixed fields take 78 bytes before its child boxes.
            const int64_t children = entry.offset + entry.header + 78;
            const auto avcC = MP4Boxes::find({"avcC"}, bytes, children, entry.offset + entry.size);
            if (avcC && avcC->size >= avcC->header + 4) {
                const auto* p = bytes.data() + avcC->offset + avcC->header;
                char text[16];
                std::snprintf(text, sizeof text, "%s.%02x%02x%02x", entry.type.c_str(), p[1], p[2], p[3]);
                codec = text;
            }
        } else if (entry.type == "mp4a") {
            codec = "mp4a.40.2";
        } else if (entry.type == "Opus") {
            codec = "opus";
        }
        if (codec.empty()) continue;
        if (!out.empty()) out += ",";
        out += codec;
    }
    return out;
}

std::optional<std::string> TakeCatalog::resolve(const std::string& id) const {
    if (id.empty() || id.size() > 200) return std::nullopt;
    if (!db_.query("SELECT 1 FROM recordings WHERE aid=?", {id}).empty()) return id;
    const auto byFolder = db_.query("SELECT aid FROM recordings WHERE folder_id=?", {id});
    if (!byFolder.empty()) return Database::text(byFolder[0][0]);
    // A folder whose take was never closed still names its asset.
    const auto folder = db_.query("SELECT json_extract(body, '$.assetId') FROM folders WHERE id=?", {id});
    if (!folder.empty()) {
        const std::string aid = Database::text(folder[0][0]);
        if (!db_.query("SELECT 1 FROM recordings WHERE aid=?", {aid}).empty()) return aid;
    }
    return std::nullopt;
}

std::optional<StoredStream> TakeCatalog::stream(const std::string& aid, const std::string& key) const {
    const auto rows = db_.query("SELECT registration FROM recordings WHERE aid=?", {aid});
    if (rows.empty()) return std::nullopt;
    const json registration = parsed(rows[0][0]);
    bool registered = false;
    for (const auto& s : registration.value("streams", json::array())) registered |= s.value("key", "") == key;
    if (!registered) return std::nullopt;
    std::map<int64_t, int64_t> sizes;
    for (const auto& o : db_.query("SELECT name, size FROM objects WHERE aid=? AND stream=?", {aid, key}))
        if (const auto n = rangeNumber(Database::text(o[0]))) sizes[*n] = Database::integer(o[1]);
    // Only the run from range 0 on: a later range alone is not playable yet.
    StoredStream stored{objectsDir_ / aid / key, {}};
    for (int64_t n = 0; sizes.contains(n); ++n) stored.sizes.push_back(sizes[n]);
    return stored;
}

std::optional<std::string> TakeCatalog::cursorLog(const std::string& aid) const {
    const auto rows = db_.query("SELECT body FROM cursor_logs WHERE aid=?", {aid});
    if (rows.empty()) return std::nullopt;
    return Database::text(rows[0][0]);
}

json TakeCatalog::describe(const std::string& aid) const {
    const auto rows = db_.query(
        "SELECT registration, status, folder_id, "
        "(SELECT min(at) FROM notices WHERE aid=r.aid), "
        "(julianday('now') - julianday((SELECT max(at) FROM notices WHERE aid=r.aid))) * 86400.0 "
        "FROM recordings r WHERE aid=?",
        {aid});
    if (rows.empty()) return nullptr;
    const auto& r = rows[0];
    const json registration = parsed(r[0]);
    const std::string closed = Database::text(r[1]);
    const double quietSeconds = std::holds_alternative<double>(r[4]) ? std::get<double>(r[4]) : 0.0;
    std::string status = closed;
    if (status.empty()) status = quietSeconds > staleSeconds_ ? "uploadFailed" : "recording";

    std::string folderId = Database::text(r[2]);
    std::string title;
    const auto folder = folderId.empty()
                            ? db_.query("SELECT id, body FROM folders WHERE json_extract(body, '$.assetId')=? ORDER BY rowid DESC",
                                        {aid})
                            : db_.query("SELECT id, body FROM folders WHERE id=?", {folderId});
    if (!folder.empty()) {
        folderId = Database::text(folder[0][0]);
        title = parsed(folder[0][1]).value("name", "");
    }
    const auto assetRows = db_.query("SELECT body FROM assets WHERE aid=?", {aid});
    const json asset = assetRows.empty() ? json(nullptr) : parsed(assetRows[0][0]);
    if (title.empty() && asset.is_object()) title = asset.value("folderName", "");
    if (title.empty()) title = "Recording";

    // What the recorder told about each stream's ranges and index.
    std::map<std::string, std::map<int64_t, std::pair<double, double>>> times;
    std::map<std::string, json> indexes;
    for (const auto& n : db_.query("SELECT kind, body FROM notices WHERE aid=? AND kind IN ('range','index') ORDER BY seq", {aid})) {
        const json body = parsed(n[1]);
        if (!body.is_object() || !body.contains("stream") || !body["stream"].is_string()) continue;
        const std::string key = body["stream"];
        if (Database::text(n[0]) == "index") {
            indexes[key] = body.value("index", json(nullptr));
        } else if (body.contains("n") && body["n"].is_number_integer()) {
            times[key][body["n"].get<int64_t>()] = {body.value("t0", 0.0), body.value("t1", 0.0)};
        }
    }

    double heard = 0;  // the latest range end any stream reported, in seconds
    json streams = json::array();
    for (const auto& s : registration.value("streams", json::array())) {
        const std::string key = s.value("key", "");
        const auto stored = stream(aid, key);
        if (!stored) continue;
        json ranges = json::array();
        int64_t offset = 0;
        for (size_t n = 0; n < stored->sizes.size(); ++n) {
            json range = {{"n", n}, {"offset", offset}, {"size", stored->sizes[n]}};
            if (const auto t = times[key].find(int64_t(n)); t != times[key].end()) {
                range["t0"] = t->second.first;
                range["t1"] = t->second.second;
                heard = std::max(heard, t->second.second);
            }
            ranges.push_back(range);
            offset += stored->sizes[n];
        }
        std::string codecs;
        if (const auto init = readFile(objectsDir_ / aid / key / "init.mp4")) codecs = TakeCatalog::codecs(*init);
        streams.push_back({{"key", key},
                           {"width", s.value("width", 0)},
                           {"height", s.value("height", 0)},
                           {"codecs", codecs},
                           {"bytes", offset},
                           {"ranges", ranges},
                           {"index", indexes.contains(key) ? indexes[key] : json(nullptr)},
                           {"url", "/screen-recorder/media/" + aid + "/" + key}});
    }
    double duration = heard;
    if (asset.is_object() && asset.contains("durationSeconds") && asset["durationSeconds"].is_number())
        duration = asset["durationSeconds"].get<double>();
    const bool hasCursor = !db_.query("SELECT 1 FROM cursor_logs WHERE aid=?", {aid}).empty();
    return {{"aid", aid},
            {"folderId", folderId.empty() ? json(nullptr) : json(folderId)},
            {"title", title},
            {"createdAt", Database::text(r[3])},
            {"status", status},
            {"durationSeconds", duration},
            {"streams", streams},
            {"cursorUrl", hasCursor ? json("/screen-recorder/api/takes/" + aid + "/cursor") : json(nullptr)}};
}

json TakeCatalog::list() const {
    json out = json::array();
    for (const auto& r : db_.query("SELECT aid FROM recordings ORDER BY rowid DESC")) {
        json take = describe(Database::text(r[0]));
        if (take.is_null()) continue;
        for (auto& s : take["streams"]) {
            s.erase("ranges");
            s.erase("index");
        }
        take["url"] = "/screen-recorder/view/" + (take["folderId"].is_string() ? take["folderId"].get<std::string>()
                                                                                 : take["aid"].get<std::string>());
        out.push_back(std::move(take));
    }
    return out;
}

}  // namespace brindlow::devserver
