#include "DevServer.h"

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>

#include "Database.h"
#include "StreamCheck.h"
#include "Support/AtomicFile.h"
#include "Support/Text.h"
#include "TakeCatalog.h"
#include "Tokens.h"
#include "WebApp.h"
#include "WebGate.h"

namespace brindlow::devserver {
namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// ---- strict body checks -------------------------------------------------

enum class Kind { string, integer, number, boolean, array, object, any };
struct Field {
    const char* key;
    Kind kind;
    bool required = true;
};

bool hasKind(const json& v, Kind kind) {
    switch (kind) {
        case Kind::string: return v.is_string();
        case Kind::integer: return v.is_number_integer();
        case Kind::number: return v.is_number();
        case Kind::boolean: return v.is_boolean();
        case Kind::array: return v.is_array();
        case Kind::object: return v.is_object();
        case Kind::any: return true;
    }
    return false;
}

// Empty when `j` is an object with exactly these keys of these kinds; else why not.
std::string shapeError(const json& j, std::initializer_list<Field> fields, const std::string& what) {
    if (!j.is_object()) return what + " must be a JSON object";
    std::set<std::string> known;
    for (const Field& f : fields) {
        known.insert(f.key);
        if (!j.contains(f.key)) {
            if (f.required) return what + " lacks \"" + f.key + "\"";
            continue;
        }
        if (!hasKind(j.at(f.key), f.kind)) return what + ": \"" + f.key + "\" has the wrong type";
    }
    for (auto it = j.begin(); it != j.end(); ++it)
        if (!known.contains(it.key())) return what + " has an unknown key \"" + it.key() + "\"";
    return {};
}

bool isStreamKey(const json& v) { return v.is_string() && (v == "screen" || v == "camera"); }

struct BadRequest : std::runtime_error {
    int status;
    BadRequest(int s, const std::string& m) : std::runtime_error(m), status(s) {}
};

void require(const std::string& problem) {
    if (!problem.empty()) throw BadRequest(400, problem);
}

json parseBody(const httplib::Request& req) {
    auto j = json::parse(req.body, nullptr, false);
    if (j.is_discarded()) throw BadRequest(400, "the body is not JSON");
    return j;
}

std::string googleError(int code, const std::string& message) {
    return json{{"error", {{"code", code}, {"message", message}, {"status", "INVALID_ARGUMENT"}}}}.dump();
}

std::string html(const std::string& title, const std::string& body) {
    return "<!doctype html><html><head><meta charset=\"utf-8\"><title>" + title +
           "</title><style>body{font-family:system-ui,sans-serif;margin:3rem;color:#222}"
           "@media (prefers-color-scheme: dark){body{background:#111;color:#eee}}</style></head><body>" +
           body + "</body></html>";
}

std::string escapeHTML(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out.push_back(c);
        }
    }
    return out;
}

bool isSafeName(const std::string& s) {
    if (s.empty() || s.size() > 128 || s == "." || s == "..") return false;
    for (char c : s)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.')) return false;
    return true;
}

}  // namespace

std::optional<SeedUser> SeedUser::parse(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (parts.size() < 2 || parts.size() > 4 || !isSafeName(parts[0]) || !isSafeName(parts[1])) return std::nullopt;
    if (parts.size() >= 3 && !parts[2].empty() && !isSafeName(parts[2])) return std::nullopt;
    SeedUser user{parts[0], parts[1], parts.size() >= 3 ? parts[2] : "", parts.size() >= 4 ? parts[3] : ""};
    return user;
}

struct DevServer::Impl {
    Config config;
    std::unique_ptr<Database> db;
    std::unique_ptr<TokenSigner> signer;
    std::unique_ptr<TakeCatalog> takes;
    WebGate webGate;
    Faults faults;
    httplib::Server web, monolith, legacy, google, objects;
    std::vector<std::thread> threads;
    json boundPorts;
    int objectsPort = 0;  // as bound; read by the signing handler

    explicit Impl(Config c) : config(std::move(c)) {}

    // ---- set-up ----

    static std::string loadOrCreateSecret(const fs::path& dataDir) {
        const fs::path file = dataDir / "secret";
        if (auto existing = readFile(file); existing && existing->size() >= 32) return *existing;
        const auto bytes = secureRandomBytes(32);
        const std::string secret = base64Encode(bytes);
        writeFileAtomically(file, secret, 0600);
        return secret;
    }

    void openStore() {
        fs::create_directories(config.dataDir / "objects");
        signer = std::make_unique<TokenSigner>(loadOrCreateSecret(config.dataDir));
        db = std::make_unique<Database>((config.dataDir / "devserver.sqlite").string());
        for (const char* sql : {
                 "CREATE TABLE IF NOT EXISTS users(uid TEXT PRIMARY KEY, team_id TEXT NOT NULL, team_root TEXT NOT NULL, language TEXT NOT NULL)",
                 "CREATE TABLE IF NOT EXISTS refresh_tokens(token TEXT PRIMARY KEY, uid TEXT NOT NULL, revoked INTEGER NOT NULL DEFAULT 0)",
                 "CREATE TABLE IF NOT EXISTS recordings(aid TEXT PRIMARY KEY, uid TEXT NOT NULL, registration TEXT NOT NULL, status TEXT, folder_id TEXT, checked TEXT)",
                 "CREATE TABLE IF NOT EXISTS notices(seq INTEGER PRIMARY KEY AUTOINCREMENT, aid TEXT NOT NULL, kind TEXT NOT NULL, body TEXT NOT NULL, at TEXT NOT NULL)",
                 "CREATE TABLE IF NOT EXISTS objects(path TEXT PRIMARY KEY, aid TEXT NOT NULL, stream TEXT NOT NULL, name TEXT NOT NULL, size INTEGER NOT NULL, puts INTEGER NOT NULL DEFAULT 1)",
                 "CREATE TABLE IF NOT EXISTS folders(id TEXT PRIMARY KEY, team_path TEXT NOT NULL, uid TEXT NOT NULL, body TEXT NOT NULL)",
                 "CREATE TABLE IF NOT EXISTS assets(aid TEXT PRIMARY KEY, uid TEXT NOT NULL, body TEXT NOT NULL)",
                 "CREATE TABLE IF NOT EXISTS cursor_logs(aid TEXT PRIMARY KEY, bytes INTEGER NOT NULL, body TEXT NOT NULL)",
                 "CREATE TABLE IF NOT EXISTS events(seq INTEGER PRIMARY KEY AUTOINCREMENT, app TEXT NOT NULL, body TEXT NOT NULL)",
                 "CREATE TABLE IF NOT EXISTS diagnostics(seq INTEGER PRIMARY KEY AUTOINCREMENT, body TEXT NOT NULL)"}) {
            db->execute(sql);
        }
        takes = std::make_unique<TakeCatalog>(*db, config.dataDir / "objects", config.staleSeconds);
        for (const SeedUser& s : config.seeds) {
            db->execute("INSERT OR REPLACE INTO users VALUES(?,?,?,?)", {s.uid, s.teamId, s.teamRoot, s.languageCode});
        }
        for (const auto& [route, rule] : config.faults) faults.set(route, rule);
    }

    // ---- shared request handling ----

    // Runs `body` for `route` after the route's fault rule, mapping errors to answers.
    template <typename Body>
    void serve(const std::string& route, httplib::Response& res, Body body) {
        const FaultDecision fault = faults.decide(route);
        if (fault.delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(fault.delayMs));
        if (fault.drop) {
            res.set_content_provider(1024, "text/plain", [](size_t, size_t, httplib::DataSink&) { return false; });
            return;
        }
        // A refused request may leave its body unread; reusing the connection would
        // read that body as the next request. Such answers close the connection.
        if (fault.status) {
            res.status = fault.status;
            res.set_header("Connection", "close");
            if (!fault.location.empty()) res.set_header("Location", fault.location);
            res.set_content("injected fault on " + route, "text/plain");
            return;
        }
        try {
            body();
        } catch (const BadRequest& e) {
            res.status = e.status;
            res.set_header("Connection", "close");
            res.set_content(e.what(), "text/plain");
        } catch (const std::exception& e) {
            res.status = 500;
            res.set_header("Connection", "close");
            res.set_content(std::string("internal error: ") + e.what(), "text/plain");
        }
        if (fault.trickleMs > 0 && !res.body.empty()) {
            // A slow link: the answer arrives a byte at a time, steadily.
            auto text = std::make_shared<std::string>(std::move(res.body));
            const std::string type = res.get_header_value("Content-Type");
            res.body.clear();
            res.headers.erase("Content-Type");
            res.set_content_provider(text->size(), type,
                                     [text, pause = fault.trickleMs](size_t offset, size_t, httplib::DataSink& sink) {
                                         std::this_thread::sleep_for(std::chrono::milliseconds(pause));
                                         return sink.write(text->data() + offset, 1);
                                     });
        }
    }

    // The uid of a valid, unexpired bearer ID token; 401 otherwise.
    std::string authenticate(const httplib::Request& req) {
        const std::string header = req.get_header_value("Authorization");
        if (header.rfind("Bearer ", 0) != 0) throw BadRequest(401, "a bearer token is required");
        const auto payload = signer->verify(header.substr(7), "id", unixNow());
        if (!payload || !(*payload)["user_id"].is_string()) throw BadRequest(401, "the token is invalid or expired");
        return (*payload)["user_id"].get<std::string>();
    }

    void requireRecording(const std::string& aid, const std::string& uid) {
        const auto rows = db->query("SELECT uid FROM recordings WHERE aid=?", {aid});
        if (rows.empty()) throw BadRequest(404, "no recording " + aid);
        if (Database::text(rows[0][0]) != uid) throw BadRequest(403, "the recording belongs to another user");
    }

    void notice(const std::string& aid, const std::string& kind, const json& body) {
        db->execute("INSERT INTO notices(aid, kind, body, at) VALUES(?,?,?,?)", {aid, kind, body.dump(), iso8601Now()});
    }

    static void ok(httplib::Response& res, const json& body = json::object()) {
        res.status = 200;
        res.set_content(body.dump(), "application/json");
    }

    // ---- monolith API ----

    void routeMonolith() {
        auto& s = monolith;
        s.Post(R"(/recordings)", [this](const httplib::Request& req, httplib::Response& res) {
            serve("register", res, [&] {
                const std::string uid = authenticate(req);
                const json body = parseBody(req);
                require(shapeError(body, {{"id", Kind::string}, {"type", Kind::string}, {"uploadStyle", Kind::string},
                                          {"streams", Kind::array}, {"languageCode", Kind::string, false}},
                                   "the registration"));
                if (body["type"] != "multistream" || body["uploadStyle"] != "ranges")
                    throw BadRequest(400, "type must be \"multistream\" and uploadStyle \"ranges\"");
                if (!isSafeName(body["id"])) throw BadRequest(400, "the id is not usable");
                std::set<std::string> keys;
                for (const auto& stream : body["streams"]) {
                    require(shapeError(stream, {{"key", Kind::string}, {"mimeType", Kind::string},
                                                {"width", Kind::integer}, {"height", Kind::integer}},
                                       "a stream"));
                    if (!isStreamKey(stream["key"])) throw BadRequest(400, "unknown stream " + stream["key"].dump());
                    if (!keys.insert(stream["key"]).second) throw BadRequest(400, "a stream is listed twice");
                }
                if (keys.empty()) throw BadRequest(400, "no streams");
                const std::string aid = body["id"];
                if (!db->query("SELECT 1 FROM recordings WHERE aid=?", {aid}).empty())
                    throw BadRequest(409, "recording " + aid + " exists");
                db->execute("INSERT INTO recordings(aid, uid, registration) VALUES(?,?,?)", {aid, uid, body.dump()});
                notice(aid, "register", body);
                ok(res);
            });
        });
        s.Post(R"(/recordings/([^/]+)/heartbeat)", [this](const httplib::Request& req, httplib::Response& res) {
            serve("heartbeat", res, [&] {
                const std::string uid = authenticate(req);
                const json body = parseBody(req);
                require(shapeError(body, {}, "the heartbeat"));
                requireRecording(req.matches[1], uid);
                notice(req.matches[1], "heartbeat", body);
                ok(res);
            });
        });
        s.Post(R"(/recordings/([^/]+)/ranges)", [this](const httplib::Request& req, httplib::Response& res) {
            serve("ranges", res, [&] {
                const std::string uid = authenticate(req);
                const json body = parseBody(req);
                if (body.is_object() && body.contains("final")) {
                    require(shapeError(body, {{"stream", Kind::string}, {"final", Kind::boolean}}, "the final notice"));
                    if (body["final"] != true) throw BadRequest(400, "final must be true");
                } else {
                    require(shapeError(body, {{"stream", Kind::string}, {"n", Kind::integer}, {"t0", Kind::number},
                                              {"t1", Kind::number}},
                                       "the range notice"));
                    if (body["n"].get<int64_t>() < 0) throw BadRequest(400, "n must not be negative");
                }
                if (!isStreamKey(body["stream"])) throw BadRequest(400, "unknown stream " + body["stream"].dump());
                requireRecording(req.matches[1], uid);
                notice(req.matches[1], body.contains("final") ? "final" : "range", body);
                ok(res);
            });
        });
        s.Post(R"(/recordings/([^/]+)/index)", [this](const httplib::Request& req, httplib::Response& res) {
            serve("index", res, [&] {
                const std::string uid = authenticate(req);
                const json body = parseBody(req);
                require(shapeError(body, {{"stream", Kind::string}, {"index", Kind::object}}, "the index notice"));
                if (!isStreamKey(body["stream"])) throw BadRequest(400, "unknown stream " + body["stream"].dump());
                require(shapeError(body["index"], {{"initLength", Kind::integer}, {"timescale", Kind::integer},
                                                   {"entries", Kind::array}, {"totalBytes", Kind::integer}},
                                   "the index"));
                for (const auto& e : body["index"]["entries"])
                    require(shapeError(e, {{"offset", Kind::integer}, {"length", Kind::integer}, {"decodeTime", Kind::integer}},
                                       "an index entry"));
                requireRecording(req.matches[1], uid);
                notice(req.matches[1], "index", body);
                ok(res);
            });
        });
        s.Post(R"(/recordings/([^/]+)/close)", [this](const httplib::Request& req, httplib::Response& res) {
            serve("close", res, [&] {
                const std::string uid = authenticate(req);
                const json body = parseBody(req);
                require(shapeError(body, {{"status", Kind::string}, {"folderId", Kind::string, false}}, "the close notice"));
                if (body["status"] != "saved" && body["status"] != "discarded")
                    throw BadRequest(400, "status must be \"saved\" or \"discarded\"");
                const std::string aid = req.matches[1];
                requireRecording(aid, uid);
                notice(aid, "close", body);
                json check = nullptr;
                if (body["status"] == "saved") check = checkRecording(aid);
                db->execute("UPDATE recordings SET status=?, folder_id=?, checked=? WHERE aid=?",
                            {body["status"].get<std::string>(),
                             body.contains("folderId") ? Database::Value(body["folderId"].get<std::string>()) : nullptr,
                             check.dump(), aid});
                ok(res);
            });
        });
        s.Post(R"(/recordings/([^/]+)/cursor)", [this](const httplib::Request& req, httplib::Response& res) {
            serve("cursor", res, [&] {
                const std::string uid = authenticate(req);
                const json body = parseBody(req);
                require(shapeError(body, {{"log", Kind::object}}, "the cursor body"));
                require(shapeError(body["log"], {{"version", Kind::integer}, {"display", Kind::object}, {"moves", Kind::array},
                                                 {"clicks", Kind::array}, {"shapes", Kind::array}, {"elements", Kind::array}},
                                   "the cursor log"));
                requireRecording(req.matches[1], uid);
                db->execute("INSERT OR REPLACE INTO cursor_logs VALUES(?,?,?)",
                            {std::string(req.matches[1]), int64_t(req.body.size()), body["log"].dump()});
                notice(req.matches[1], "cursor", json{{"bytes", req.body.size()}});
                ok(res);
            });
        });
        auto folders = [this](const httplib::Request& req, httplib::Response& res, const std::string& root,
                              const std::string& team) {
            serve("folders", res, [&] {
                const std::string uid = authenticate(req);
                const json body = parseBody(req);
                require(shapeError(body, {{"name", Kind::string}, {"assetId", Kind::string}, {"task", Kind::string}},
                                   "the folder"));
                const auto user = db->query("SELECT team_id, team_root FROM users WHERE uid=?", {uid});
                if (user.empty() || Database::text(user[0][0]) != team || Database::text(user[0][1]) != root)
                    throw BadRequest(403, "not a member of this team");
                const std::string id = "f-" + randomUUID();
                const std::string teamPath = root.empty() ? "teams/" + team : "teams/" + root + "/teams/" + team;
                db->execute("INSERT INTO folders VALUES(?,?,?,?)", {id, teamPath, uid, body.dump()});
                ok(res, {{"folderId", id}});
            });
        };
        s.Post(R"(/teams/([^/]+)/folders)", [folders](const httplib::Request& req, httplib::Response& res) {
            folders(req, res, "", req.matches[1]);
        });
        s.Post(R"(/teams/([^/]+)/teams/([^/]+)/folders)", [folders](const httplib::Request& req, httplib::Response& res) {
            folders(req, res, req.matches[1], req.matches[2]);
        });
        s.Post(R"(/desktop/events)", [this](const httplib::Request& req, httplib::Response& res) {
            serve("events", res, [&] {
                authenticate(req);
                const json body = parseBody(req);
                require(shapeError(body, {{"app", Kind::object}, {"events", Kind::array}}, "the events"));
                requireAppInfo(body["app"]);
                for (const auto& e : body["events"])
                    require(shapeError(e, {{"name", Kind::string}, {"at", Kind::string}, {"aid", Kind::string, false},
                                           {"props", Kind::object, false}},
                                       "an event"));
                for (const auto& e : body["events"]) db->execute("INSERT INTO events(app, body) VALUES(?,?)", {body["app"].dump(), e.dump()});
                ok(res);
            });
        });
        s.Post(R"(/desktop/diagnostics)", [this](const httplib::Request& req, httplib::Response& res) {
            serve("diagnostics", res, [&] {
                authenticate(req);
                const json body = parseBody(req);
                require(shapeError(body, {{"app", Kind::object}, {"kind", Kind::string}, {"at", Kind::string},
                                          {"payload", Kind::any}},
                                   "the diagnostic"));
                requireAppInfo(body["app"]);
                if (body["kind"] != "exception" && body["kind"] != "metrickit")
                    throw BadRequest(400, "kind must be \"exception\" or \"metrickit\"");
                db->execute("INSERT INTO diagnostics(body) VALUES(?)", {body.dump()});
                ok(res);
            });
        });
        routeControl(s);
    }

    static void requireAppInfo(const json& app) {
        require(shapeError(app, {{"version", Kind::string}, {"build", Kind::string}, {"os", Kind::string},
                                 {"env", Kind::string}, {"arch", Kind::string}},
                           "the app description"));
    }

    // ---- legacy API ----

    void routeLegacy() {
        legacy.Post(R"(/v1/assets/([^/]+)/upload/range-urls)", [this](const httplib::Request& req, httplib::Response& res) {
            serve("sign", res, [&] {
                const std::string uid = authenticate(req);
                const json body = parseBody(req);
                require(shapeError(body, {{"stream", Kind::string}, {"from", Kind::integer}, {"count", Kind::integer}},
                                   "the signing request"));
                if (!isStreamKey(body["stream"])) throw BadRequest(400, "unknown stream " + body["stream"].dump());
                const int64_t from = body["from"], count = body["count"];
                if (from < 0 || count < 0 || count > 1000) throw BadRequest(400, "from and count are out of range");
                const std::string aid = req.matches[1];
                requireRecording(aid, uid);
                const std::string stream = body["stream"];
                json urls = json::array();
                for (int64_t n = from; n < from + count; ++n) urls.push_back(signedURL(aid, stream, std::to_string(n) + ".mp4"));
                ok(res, {{"urls", urls}, {"initUrl", signedURL(aid, stream, "init.mp4")},
                         {"manifestUrl", signedURL(aid, stream, "manifest.json")}});
            });
        });
        legacy.Post(R"(/v1/assets/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
            serve("asset", res, [&] {
                const std::string uid = authenticate(req);
                const json body = parseBody(req);
                require(shapeError(body, {{"type", Kind::string}, {"task", Kind::string}, {"languageCode", Kind::string, false},
                                          {"folderId", Kind::string, false}, {"folderName", Kind::string},
                                          {"durationSeconds", Kind::number, false}},
                                   "the asset"));
                if (body["type"] != "multistream" || body["task"] != "screencast")
                    throw BadRequest(400, "type must be \"multistream\" and task \"screencast\"");
                const std::string aid = req.matches[1];
                requireRecording(aid, uid);
                db->execute("INSERT OR REPLACE INTO assets VALUES(?,?,?)", {aid, uid, body.dump()});
                ok(res);
            });
        });
    }

    std::string signedURL(const std::string& aid, const std::string& stream, const std::string& name) {
        const std::string path = "/o/" + aid + "/" + stream + "/" + name;
        const std::string expires = std::to_string(unixNow() + config.urlSeconds);
        return "http://" + config.host + ":" + std::to_string(objectsPort) + path +
               "?expires=" + expires + "&sig=" + signer->mac("PUT\n" + path + "\n" + expires);
    }

    // ---- object store ----

    void routeObjects() {
        objects.Put(R"(/o/([^/]+)/(screen|camera)/([^/]+))",
                    [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
            serve("put", res, [&] {
                const std::string aid = req.matches[1], stream = req.matches[2], name = req.matches[3];
                const std::string path = "/o/" + aid + "/" + stream + "/" + name;
                const std::string expires = req.get_param_value("expires");
                const std::string sig = req.get_param_value("sig");
                if (!isSafeName(aid) || !isSafeName(name) || expires.empty() ||
                    !sameText(sig, signer->mac("PUT\n" + path + "\n" + expires)))
                    throw BadRequest(403, "the signature does not match");
                if (std::stoll(expires) <= unixNow()) throw BadRequest(403, "the signed URL has expired");
                const fs::path dir = config.dataDir / "objects" / aid / stream;
                fs::create_directories(dir);
                // Streamed to a temporary file, then renamed: a broken upload leaves nothing behind.
                const fs::path temp = dir / ("." + name + "." + randomUUID());
                int64_t size = 0;
                bool complete = false;
                {
                    std::ofstream out(temp, std::ios::binary);
                    complete = reader([&](const char* data, size_t length) {
                        out.write(data, std::streamsize(length));
                        size += int64_t(length);
                        return bool(out);
                    });
                    if (!out) {
                        fs::remove(temp);
                        throw std::runtime_error("cannot store the object");
                    }
                }
                // A body that stopped short (the client went away) never replaces the object.
                const std::string length = req.get_header_value("Content-Length");
                if (!complete || (!length.empty() && length != std::to_string(size))) {
                    fs::remove(temp);
                    throw BadRequest(400, "the body stopped short after " + std::to_string(size) + " bytes");
                }
                fs::rename(temp, dir / name);
                db->execute("INSERT INTO objects(path, aid, stream, name, size) VALUES(?,?,?,?,?) "
                            "ON CONFLICT(path) DO UPDATE SET size=excluded.size, puts=puts+1",
                            {path, aid, stream, name, size});
                res.status = 200;
                res.set_content("stored " + std::to_string(size) + " bytes\n", "text/plain");
            });
        });
    }

    // ---- Google-compatible services ----

    // A 400 in the token services' own error shape.
    static void refuse(httplib::Response& res, const std::string& message) {
        res.status = 400;
        res.set_content(googleError(400, message), "application/json");
    }

    void routeGoogle() {
        google.Post(R"(/v1/accounts:signInWithCustomToken)", [this](const httplib::Request& req, httplib::Response& res) {
            serve("signin", res, [&] {
                if (req.get_param_value("key") != config.apiKey) return refuse(res, "API key not valid. Please pass a valid API key.");
                const json body = parseBody(req);
                require(shapeError(body, {{"token", Kind::string}, {"returnSecureToken", Kind::boolean}}, "the sign-in"));
                const auto payload = signer->verify(body["token"], "custom", unixNow());
                if (!payload || !(*payload)["uid"].is_string()) {
                    return refuse(res, "INVALID_CUSTOM_TOKEN");
                }
                const std::string uid = (*payload)["uid"];
                const std::string refresh = base64Encode(secureRandomBytes(32), Base64Alphabet::urlSafe, false);
                db->execute("INSERT INTO refresh_tokens(token, uid) VALUES(?,?)", {refresh, uid});
                ok(res, {{"kind", "identitytoolkit#VerifyCustomTokenResponse"},
                         {"idToken", signer->idToken(uid, unixNow(), config.idTokenSeconds)},
                         {"refreshToken", refresh},
                         {"expiresIn", std::to_string(config.idTokenSeconds)},
                         {"isNewUser", false}});
            });
        });
        google.Post(R"(/v1/token)", [this](const httplib::Request& req, httplib::Response& res) {
            serve("refresh", res, [&] {
                if (req.get_param_value("key") != config.apiKey) return refuse(res, "API key not valid. Please pass a valid API key.");
                std::map<std::string, std::string> form;
                size_t start = 0;
                while (start <= req.body.size()) {
                    const size_t amp = std::min(req.body.find('&', start), req.body.size());
                    const std::string pair = req.body.substr(start, amp - start);
                    const size_t eq = pair.find('=');
                    if (eq != std::string::npos) {
                        const auto key = percentDecode(pair.substr(0, eq), true);
                        const auto value = percentDecode(pair.substr(eq + 1), true);
                        if (key && value) form[*key] = *value;
                    }
                    start = amp + 1;
                }
                if (form["grant_type"] != "refresh_token" || form["refresh_token"].empty()) {
                    return refuse(res, "INVALID_GRANT_TYPE");
                }
                const auto rows = db->query("SELECT uid, revoked FROM refresh_tokens WHERE token=?", {form["refresh_token"]});
                if (rows.empty() || Database::integer(rows[0][1]) != 0) {
                    return refuse(res, "TOKEN_EXPIRED");
                }
                const std::string uid = Database::text(rows[0][0]);
                ok(res, {{"access_token", "unused"},
                         {"expires_in", std::to_string(config.idTokenSeconds)},
                         {"token_type", "Bearer"},
                         {"refresh_token", form["refresh_token"]},
                         {"id_token", signer->idToken(uid, unixNow(), config.idTokenSeconds)},
                         {"user_id", uid},
                         {"project_id", config.projectId}});
            });
        });
        google.Get(R"(/v1/projects/([^/]+)/databases/\(default\)/documents/users/([^/]+))",
                   [this](const httplib::Request& req, httplib::Response& res) {
            serve("user", res, [&] {
                const std::string uid = authenticate(req);
                const std::string project = req.matches[1], wanted = req.matches[2];
                if (project != config.projectId) throw BadRequest(404, googleError(404, "project not found"));
                if (wanted != uid) throw BadRequest(403, googleError(403, "Missing or insufficient permissions."));
                const auto rows = db->query("SELECT team_id, team_root, language FROM users WHERE uid=?", {uid});
                if (rows.empty()) throw BadRequest(404, googleError(404, "Document not found"));
                json teamFields = {{"id", {{"stringValue", Database::text(rows[0][0])}}}};
                if (!Database::text(rows[0][1]).empty()) teamFields["root"] = {{"stringValue", Database::text(rows[0][1])}};
                json fields = {{"team", {{"mapValue", {{"fields", teamFields}}}}}};
                if (!Database::text(rows[0][2]).empty()) fields["languageCode"] = {{"stringValue", Database::text(rows[0][2])}};
                // mask.fieldPaths keeps only the named fields, as the real service does.
                std::set<std::string> mask;
                for (size_t i = 0; i < req.get_param_value_count("mask.fieldPaths"); ++i)
                    mask.insert(req.get_param_value("mask.fieldPaths", i));
                if (!mask.empty()) {
                    for (auto it = fields.begin(); it != fields.end();) it = mask.contains(it.key()) ? std::next(it) : fields.erase(it);
                }
                const std::string stamp = iso8601Now();
                ok(res, {{"name", "projects/" + project + "/databases/(default)/documents/users/" + uid},
                         {"fields", fields},
                         {"createTime", stamp},
                         {"updateTime", stamp}});
            });
        });
    }

    // ---- web app ----

    void routeWeb() {
        // The browser sign-in: who will be signed in, and where Continue and Cancel lead.
        web.Get("/desktop/sign-in", [this](const httplib::Request& req, httplib::Response& res) {
            const std::string port = req.get_param_value("port");
            const std::string state = req.get_param_value("state");
            int portNumber = 0;
            const bool portOk = !port.empty() && port.size() <= 5 &&
                                std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
                                (portNumber = std::stoi(port)) >= 1 && portNumber <= 65535;
            if (!portOk || state.empty() || state.size() > 128 || !isSafeName(state)) {
                res.status = 400;
                res.set_content(html("Sign-in", "<h1>This sign-in link is not valid</h1>"), "text/html");
                return;
            }
            const std::string uid = config.signInUser.empty() && !config.seeds.empty() ? config.seeds.front().uid : config.signInUser;
            const auto user = db->query("SELECT team_id FROM users WHERE uid=?", {uid});
            if (user.empty()) {
                res.status = 404;
                res.set_content(html("Sign-in", "<h1>No user to sign in</h1><p>Start the server with --seed.</p>"), "text/html");
                return;
            }
            const std::string callback = "http://127.0.0.1:" + std::to_string(portNumber) + "/callback?state=" +
                                         percentEncodeQueryComponent(state);
            const std::string token = signer->customToken(uid, unixNow(), 600);
            res.set_header("Cache-Control", "no-store");
            res.set_header("Referrer-Policy", "no-referrer");
            res.set_content(
                html("Sign in to Brindlow",
                     "<main style=\"max-width:28rem;margin:auto;text-align:center\"><h1>Sign in to Brindlow</h1>"
                     "<p>Brindlow Recorder will be signed in as <strong>" + escapeHTML(uid) + "</strong> (team " +
                     escapeHTML(Database::text(user[0][0])) + ").</p>"
                     "<p><a id=\"continue\" role=\"button\" href=\"" + escapeHTML(callback + "&token=" + percentEncodeQueryComponent(token)) +
                     "\" style=\"display:inline-block;padding:.6rem 1.4rem;margin:.3rem;border-radius:.5rem;background:#0a84ff;color:#fff;text-decoration:none\">Continue</a>"
                     "<a id=\"cancel\" role=\"button\" href=\"" + escapeHTML(callback + "&error=cancelled") +
                     "\" style=\"display:inline-block;padding:.6rem 1.4rem;margin:.3rem;border-radius:.5rem;border:1px solid #888;color:inherit;text-decoration:none\">Cancel</a></p></main>"),
                "text/html");
        });
        routeWebApp(web, *takes);
    }

    // ---- inspection and control ----

    void routeControl(httplib::Server& s) {
        s.Get("/_dev/state", [this](const httplib::Request& req, httplib::Response& res) {
            ok(res, state(req.has_param("aid") ? std::optional(req.get_param_value("aid")) : std::nullopt));
        });
        s.Post("/_dev/faults", [this](const httplib::Request& req, httplib::Response& res) {
            const json body = json::parse(req.body, nullptr, false);
            const auto rule = body.is_object() ? FaultRule::fromJSON(body) : std::nullopt;
            if (!rule || !body.contains("route") || !body["route"].is_string()) {
                res.status = 400;
                res.set_content("a fault needs a route and a status, drop or delayMs", "text/plain");
                return;
            }
            faults.set(body["route"], *rule);
            ok(res, faults.toJSON());
        });
        s.Get("/_dev/faults", [this](const httplib::Request&, httplib::Response& res) { ok(res, faults.toJSON()); });
        s.Delete("/_dev/faults", [this](const httplib::Request&, httplib::Response& res) {
            faults.clear();
            ok(res, faults.toJSON());
        });
        s.Post("/_dev/revoke", [this](const httplib::Request& req, httplib::Response& res) {
            const json body = json::parse(req.body, nullptr, false);
            if (!body.is_object() || !body.contains("uid") || !body["uid"].is_string()) {
                res.status = 400;
                return;
            }
            db->execute("UPDATE refresh_tokens SET revoked=1 WHERE uid=?", {body["uid"].get<std::string>()});
            ok(res);
        });
        s.Post("/_dev/mint", [this](const httplib::Request& req, httplib::Response& res) {
            const json body = json::parse(req.body, nullptr, false);
            if (!body.is_object() || !body.contains("uid") || !body["uid"].is_string()) {
                res.status = 400;
                return;
            }
            ok(res, {{"token", signer->customToken(body["uid"], unixNow(), 3600)}});
        });
    }

    json checkRecording(const std::string& aid) {
        const auto rows = db->query("SELECT registration FROM recordings WHERE aid=?", {aid});
        const json registration = json::parse(Database::text(rows.at(0)[0]));
        json streams = json::array();
        bool allOk = true;
        for (const auto& s : registration["streams"]) {
            StreamUpload upload;
            upload.stream = s["key"];
            upload.directory = config.dataDir / "objects" / aid / upload.stream;
            for (const auto& n : db->query("SELECT kind, body FROM notices WHERE aid=? ORDER BY seq", {aid})) {
                const json body = json::parse(Database::text(n[1]));
                if (!body.is_object() || body.value("stream", "") != upload.stream) continue;
                const std::string kind = Database::text(n[0]);
                if (kind == "range") upload.rangeNotices.push_back(body["n"].get<int64_t>());
                if (kind == "final") upload.finalNotice = true;
                if (kind == "index") upload.index = body["index"];
            }
            json result = checkStream(upload);
            allOk = allOk && result["ok"].get<bool>();
            streams.push_back(std::move(result));
        }
        return {{"ok", allOk}, {"streams", streams}};
    }

    json state(const std::optional<std::string>& onlyAid) {
        json recordings = json::array();
        for (const auto& r : db->query("SELECT aid, uid, registration, status, folder_id, checked FROM recordings ORDER BY rowid")) {
            const std::string aid = Database::text(r[0]);
            if (onlyAid && *onlyAid != aid) continue;
            json notices = json::array();
            for (const auto& n : db->query("SELECT kind, body, at FROM notices WHERE aid=? ORDER BY seq", {aid}))
                notices.push_back({{"kind", Database::text(n[0])}, {"body", json::parse(Database::text(n[1]))}, {"at", Database::text(n[2])}});
            json objectList = json::array();
            for (const auto& o : db->query("SELECT stream, name, size, puts FROM objects WHERE aid=? ORDER BY stream, name", {aid}))
                objectList.push_back({{"stream", Database::text(o[0])}, {"name", Database::text(o[1])},
                                      {"size", Database::integer(o[2])}, {"puts", Database::integer(o[3])}});
            const auto cursor = db->query("SELECT bytes FROM cursor_logs WHERE aid=?", {aid});
            const auto asset = db->query("SELECT body FROM assets WHERE aid=?", {aid});
            const std::string checked = Database::text(r[5]);
            recordings.push_back({{"aid", aid},
                                  {"uid", Database::text(r[1])},
                                  {"registration", json::parse(Database::text(r[2]))},
                                  {"status", r[3].index() == 0 ? json(nullptr) : json(Database::text(r[3]))},
                                  {"folderId", r[4].index() == 0 ? json(nullptr) : json(Database::text(r[4]))},
                                  {"notices", notices},
                                  {"objects", objectList},
                                  {"cursorLogBytes", cursor.empty() ? json(nullptr) : json(Database::integer(cursor[0][0]))},
                                  {"asset", asset.empty() ? json(nullptr) : json::parse(Database::text(asset[0][0]))},
                                  {"check", checked.empty() ? json(nullptr) : json::parse(checked)}});
        }
        json folders = json::array();
        for (const auto& f : db->query("SELECT id, team_path, uid, body FROM folders ORDER BY rowid"))
            folders.push_back({{"id", Database::text(f[0])}, {"teamPath", Database::text(f[1])}, {"uid", Database::text(f[2])},
                               {"body", json::parse(Database::text(f[3]))}});
        json events = json::array();
        for (const auto& e : db->query("SELECT app, body FROM events ORDER BY seq"))
            events.push_back({{"app", json::parse(Database::text(e[0]))}, {"event", json::parse(Database::text(e[1]))}});
        json diagnostics = json::array();
        for (const auto& d : db->query("SELECT body FROM diagnostics ORDER BY seq")) diagnostics.push_back(json::parse(Database::text(d[0])));
        json users = json::array();
        for (const auto& u : db->query("SELECT uid, team_id, team_root, language FROM users ORDER BY uid"))
            users.push_back({{"uid", Database::text(u[0])}, {"teamId", Database::text(u[1])}, {"teamRoot", Database::text(u[2])},
                             {"languageCode", Database::text(u[3])}});
        return {{"users", users}, {"recordings", recordings}, {"folders", folders}, {"events", events},
                {"diagnostics", diagnostics}, {"faults", faults.toJSON()}, {"ports", boundPorts}};
    }

    void bind(httplib::Server& server, const char* name, int port) {
        server.set_keep_alive_max_count(100000);
        server.set_tcp_nodelay(true);  // headers and body go out as separate writes
        server.set_payload_max_length(size_t(4) << 30);
        int bound = port;
        if (port == 0) {
            bound = server.bind_to_any_port(config.host);
            if (bound < 0) throw std::runtime_error(std::string("cannot bind the ") + name + " port");
        } else if (!server.bind_to_port(config.host, port)) {
            throw std::runtime_error(std::string("cannot bind the ") + name + " port " + std::to_string(port));
        }
        boundPorts[name] = bound;
    }
};

DevServer::DevServer(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}

DevServer::~DevServer() { stop(); }

void DevServer::start() {
    Impl& d = *impl_;
    d.openStore();
    // The web app listens behind its gate, on a free loopback port of its own.
    d.web.set_keep_alive_max_count(1);
    d.web.set_tcp_nodelay(true);
    const int webInner = d.web.bind_to_any_port("127.0.0.1");
    if (webInner < 0) throw std::runtime_error("cannot bind the web app's inner port");
    d.boundPorts["web"] = d.webGate.bind(d.config.host, d.config.webPort);
    d.bind(d.monolith, "monolith", d.config.monolithPort);
    d.bind(d.legacy, "legacy", d.config.legacyPort);
    d.bind(d.google, "google", d.config.googlePort);
    d.bind(d.objects, "objects", d.config.objectsPort);
    d.objectsPort = d.boundPorts["objects"].get<int>();
    d.routeWeb();
    d.routeMonolith();
    d.routeLegacy();
    d.routeGoogle();
    d.routeObjects();
    for (httplib::Server* s : {&d.web, &d.monolith, &d.legacy, &d.google, &d.objects})
        d.threads.emplace_back([s] { s->listen_after_bind(); });
    d.webGate.start(webInner);
}

void DevServer::stop() {
    Impl& d = *impl_;
    d.webGate.stop();
    for (httplib::Server* s : {&d.web, &d.monolith, &d.legacy, &d.google, &d.objects}) s->stop();
    for (auto& t : d.threads)
        if (t.joinable()) t.join();
    d.threads.clear();
}

nlohmann::json DevServer::ports() const { return impl_->boundPorts; }

std::string DevServer::mintCustomToken(const fs::path& dataDir, const std::string& uid) {
    fs::create_directories(dataDir);
    return TokenSigner(Impl::loadOrCreateSecret(dataDir)).customToken(uid, unixNow(), 3600);
}

}  // namespace brindlow::devserver
