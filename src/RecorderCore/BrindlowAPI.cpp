#include "BrindlowAPI.h"

#include <cmath>

#include "RecorderError.h"
#include "Support/URL.h"

namespace brindlow {
namespace {

using Method = HTTPClient::Method;
using ojson = nlohmann::ordered_json;

std::string urlMember(const nlohmann::json& j, const char* key) {
    const auto& value = j.at(key);
    if (!value.is_string() || !URL::parse(value.get_ref<const std::string&>()))
        throw nlohmann::json::type_error::create(302, std::string("\"") + key + "\" is not a URL", &value);
    return value.get<std::string>();
}

// Characters a Firebase uid may use that stand in a URL path unchanged.
bool isSafeUserID(std::string_view uid) {
    if (uid.empty() || uid.size() > 128) return false;
    for (char c : uid) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '_' || c == '.' || c == '~';
        if (!ok) return false;
    }
    return uid != "." && uid != "..";
}

}  // namespace

std::string_view rawValue(CloseStatus status) { return status == CloseStatus::saved ? "saved" : "discarded"; }

ojson toJSON(const StreamInfo& info) {
    ojson j;
    j["key"] = std::string(rawValue(info.key));
    j["mimeType"] = info.mimeType;
    j["width"] = info.width;
    j["height"] = info.height;
    return j;
}

SignedRangeBatch SignedRangeBatch::fromJSON(const nlohmann::json& j) {
    SignedRangeBatch batch;
    const auto& urls = j.at("urls");
    if (!urls.is_array()) throw nlohmann::json::type_error::create(302, "\"urls\" must be an array", &urls);
    for (const auto& u : urls) {
        if (!u.is_string() || !URL::parse(u.get_ref<const std::string&>()))
            throw nlohmann::json::type_error::create(302, "\"urls\" holds something that is not a URL", &u);
        batch.urls.push_back(u.get<std::string>());
    }
    batch.initUrl = urlMember(j, "initUrl");
    batch.manifestUrl = urlMember(j, "manifestUrl");
    return batch;
}

std::string RecorderUser::teamPrefix() const {
    if (teamRoot && !teamRoot->empty()) return "teams/" + *teamRoot + "/teams/" + teamId;
    return "teams/" + teamId;
}

void BrindlowAPI::post(const std::string& base, const std::string& path, const ojson& body, double timeout,
                       std::stop_token stop) const {
    http_.send(Method::post, appendingPath(base, path), body, timeout, stop);
}

void BrindlowAPI::registerRecording(const std::string& aid, const std::vector<StreamInfo>& streams,
                                    const std::optional<std::string>& languageCode, std::stop_token stop) const {
    ojson body;
    body["id"] = aid;
    body["type"] = "multistream";
    body["uploadStyle"] = "ranges";
    body["streams"] = ojson::array();
    for (const auto& s : streams) body["streams"].push_back(toJSON(s));
    if (languageCode) body["languageCode"] = *languageCode;
    post(env_.monolithAPI, "recordings", body, 30, stop);
}

void BrindlowAPI::heartbeat(const std::string& aid, std::stop_token stop) const {
    post(env_.monolithAPI, "recordings/" + aid + "/heartbeat", ojson::object(), 30, stop);
}

void BrindlowAPI::notifyRange(const std::string& aid, StreamKey stream, int64_t n, double t0, double t1,
                              std::stop_token stop) const {
    ojson body;
    body["stream"] = std::string(rawValue(stream));
    body["n"] = n;
    body["t0"] = t0;
    body["t1"] = t1;
    post(env_.monolithAPI, "recordings/" + aid + "/ranges", body, 30, stop);
}

void BrindlowAPI::notifyRangesFinal(const std::string& aid, StreamKey stream, std::stop_token stop) const {
    ojson body;
    body["stream"] = std::string(rawValue(stream));
    body["final"] = true;
    post(env_.monolithAPI, "recordings/" + aid + "/ranges", body, 30, stop);
}

void BrindlowAPI::sendIndex(const std::string& aid, StreamKey stream, const FragmentIndex& index,
                            std::stop_token stop) const {
    ojson body;
    body["stream"] = std::string(rawValue(stream));
    body["index"] = index.toJSON();
    post(env_.monolithAPI, "recordings/" + aid + "/index", body, 30, stop);
}

void BrindlowAPI::close(const std::string& aid, CloseStatus status, const std::optional<std::string>& folderId,
                        std::stop_token stop) const {
    ojson body;
    body["status"] = std::string(rawValue(status));
    if (folderId) body["folderId"] = *folderId;
    post(env_.monolithAPI, "recordings/" + aid + "/close", body, 30, stop);
}

SignedRangeBatch BrindlowAPI::signRangeURLs(const std::string& aid, StreamKey stream, int64_t from, int64_t count,
                                            std::stop_token stop) const {
    ojson body;
    body["stream"] = std::string(rawValue(stream));
    body["from"] = from;
    body["count"] = count;
    const std::string answer =
        http_.send(Method::post, appendingPath(env_.legacyAPI, "assets/" + aid + "/upload/range-urls"), body, 30, stop);
    return SignedRangeBatch::fromJSON(nlohmann::json::parse(answer));
}

std::string BrindlowAPI::createFolder(const RecorderUser& user, const std::string& aid, std::stop_token stop) const {
    ojson body;
    body["name"] = folderName;
    body["assetId"] = aid;
    body["task"] = "screencast";
    const auto answer =
        http_.json(Method::post, appendingPath(env_.monolithAPI, user.teamPrefix() + "/folders"), body, stop);
    const auto& id = answer.at("folderId");
    if (!id.is_string()) throw nlohmann::json::type_error::create(302, "\"folderId\" must be a string", &id);
    return id.get<std::string>();
}

void BrindlowAPI::registerAsset(const std::string& aid, const std::optional<std::string>& folderId,
                                const std::optional<std::string>& languageCode, double durationSeconds,
                                std::stop_token stop) const {
    ojson body;
    body["type"] = "multistream";
    body["task"] = "screencast";
    if (languageCode) body["languageCode"] = *languageCode;
    if (folderId) body["folderId"] = *folderId;
    body["folderName"] = folderName;
    if (durationSeconds > 0) body["durationSeconds"] = durationSeconds;  // NaN compares false
    post(env_.legacyAPI, "assets/" + aid, body, 60, stop);
}

void BrindlowAPI::saveCursorLog(const std::string& aid, const CursorLog& log, std::stop_token stop) const {
    // The log is compact JSON text already (up to ~7 MB); embed it as it is.
    http_.sendEncoded(Method::post, appendingPath(env_.monolithAPI, "recordings/" + aid + "/cursor"),
                      "{\"log\":" + log.encoded() + "}", 60, stop);
}

void BrindlowAPI::sendEvents(const AppInfo& app, const std::vector<TelemetryRecord>& events,
                             std::stop_token stop) const {
    ojson body;
    body["app"] = app.toJSON();
    body["events"] = ojson::array();
    for (const auto& e : events) body["events"].push_back(e.toJSON());
    post(env_.monolithAPI, "desktop/events", body, 30, stop);
}

void BrindlowAPI::sendDiagnostic(const AppInfo& app, const PendingDiagnostic& diagnostic, std::stop_token stop) const {
    ojson body;
    body["app"] = app.toJSON();
    body["kind"] = std::string(rawValue(diagnostic.kind));
    body["at"] = diagnostic.at;
    body["payload"] = diagnostic.payload.toJSON();
    post(env_.monolithAPI, "desktop/diagnostics", body, 60, stop);
}

std::string BrindlowAPI::userDocumentURL(const std::string& uid) const {
    if (!isSafeUserID(uid)) throw InvalidUserIDError("the user id \"" + uid + "\" cannot be used in a URL");
    return appendingPath(env_.firestore, "v1/projects/" + env_.firebaseProjectId +
                                             "/databases/(default)/documents/users/" + uid) +
           "?mask.fieldPaths=team&mask.fieldPaths=languageCode";
}

RecorderUser BrindlowAPI::fetchUser(const std::string& uid, std::stop_token stop) const {
    const std::string url = userDocumentURL(uid);
    return parseUser(uid, http_.send(Method::get, url, std::nullopt, 30, stop));
}

RecorderUser BrindlowAPI::parseUser(const std::string& uid, std::string_view document) {
    const auto doc = nlohmann::json::parse(document);
    if (!doc.is_object()) throw nlohmann::json::type_error::create(302, "the user document is not an object", &doc);
    // Missing pieces give nothing; pieces of the wrong JSON type are decoding errors.
    auto member = [](const nlohmann::json& object, const char* key) -> const nlohmann::json* {
        if (!object.is_object()) throw nlohmann::json::type_error::create(302, "expected an object", &object);
        const auto it = object.find(key);
        return it == object.end() || it->is_null() ? nullptr : &*it;
    };
    auto stringValue = [&](const nlohmann::json* value) -> std::optional<std::string> {
        if (!value) return std::nullopt;
        const auto* s = member(*value, "stringValue");
        if (!s) return std::nullopt;
        if (!s->is_string()) throw nlohmann::json::type_error::create(302, "stringValue must be a string", s);
        return s->get<std::string>();
    };
    auto mapFields = [&](const nlohmann::json* value) -> const nlohmann::json* {
        if (!value) return nullptr;
        const auto* map = member(*value, "mapValue");
        return map ? member(*map, "fields") : nullptr;
    };
    const nlohmann::json* fields = member(doc, "fields");
    const nlohmann::json* team = fields ? mapFields(member(*fields, "team")) : nullptr;
    const auto teamId = team ? stringValue(member(*team, "id")) : std::nullopt;
    if (!teamId) throw RecorderError::uploadFailed("your account has no team");
    RecorderUser user{uid, *teamId, stringValue(member(*team, "root")), stringValue(member(*fields, "languageCode"))};
    if (user.teamRoot && user.teamRoot->empty()) user.teamRoot.reset();
    return user;
}

}  // namespace brindlow
