#pragma once

#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

#include "CursorLog.h"
#include "FragmentIndex.h"
#include "HTTPClient.h"
#include "RecorderEnvironment.h"
#include "StreamKey.h"
#include "TelemetryRecords.h"

namespace brindlow {

struct StreamInfo {
    StreamKey key = StreamKey::screen;
    std::string mimeType = "video/mp4";
    int64_t width = 0;
    int64_t height = 0;
    bool operator==(const StreamInfo&) const = default;
};

enum class CloseStatus { saved, discarded };

struct SignedRangeBatch {
    std::vector<std::string> urls;  // one per requested range, in range order
    std::string initUrl;
    std::string manifestUrl;

    // Requires all three keys, every one a valid http(s) URL; throws nlohmann::json::exception.
    static SignedRangeBatch fromJSON(const nlohmann::json& j);
};

// The signed-in user's team and language, from the user document.
struct RecorderUser {
    std::string uid;
    std::string teamId;
    std::optional<std::string> teamRoot;
    std::optional<std::string> languageCode;

    bool operator==(const RecorderUser&) const = default;
    // "teams/<id>", or "teams/<root>/teams/<id>" for a nested team.
    std::string teamPrefix() const;
};

// A user id that cannot stand in a URL path unescaped is refused before anything is sent.
class InvalidUserIDError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The typed backend client. A value without state: copy freely, call from any thread.
// Every operation throws what the HTTP client throws (HTTPError, TransportError,
// CancellationError, RecorderError::notSignedIn); those with a result also throw
// nlohmann::json::exception when a 2xx answer does not decode.
class BrindlowAPI {
public:
    static constexpr const char* folderName = "Screen Recording";

    BrindlowAPI(RecorderEnvironment env, HTTPClient http) : env_(std::move(env)), http_(std::move(http)) {}
    const RecorderEnvironment& env() const { return env_; }

    void registerRecording(const std::string& aid, const std::vector<StreamInfo>& streams,
                           const std::optional<std::string>& languageCode, std::stop_token stop = {}) const;
    void heartbeat(const std::string& aid, std::stop_token stop = {}) const;
    void notifyRange(const std::string& aid, StreamKey stream, int64_t n, double t0, double t1,
                     std::stop_token stop = {}) const;
    void notifyRangesFinal(const std::string& aid, StreamKey stream, std::stop_token stop = {}) const;
    void sendIndex(const std::string& aid, StreamKey stream, const FragmentIndex& index, std::stop_token stop = {}) const;
    void close(const std::string& aid, CloseStatus status, const std::optional<std::string>& folderId,
               std::stop_token stop = {}) const;
    SignedRangeBatch signRangeURLs(const std::string& aid, StreamKey stream, int64_t from, int64_t count,
                                   std::stop_token stop = {}) const;

    std::string createFolder(const RecorderUser& user, const std::string& aid, std::stop_token stop = {}) const;
    void registerAsset(const std::string& aid, const std::optional<std::string>& folderId,
                       const std::optional<std::string>& languageCode, double durationSeconds,
                       std::stop_token stop = {}) const;
    void saveCursorLog(const std::string& aid, const CursorLog& log, std::stop_token stop = {}) const;
    void sendEvents(const AppInfo& app, const std::vector<TelemetryRecord>& events, std::stop_token stop = {}) const;
    void sendDiagnostic(const AppInfo& app, const PendingDiagnostic& diagnostic, std::stop_token stop = {}) const;

    RecorderUser fetchUser(const std::string& uid, std::stop_token stop = {}) const;
    // Decodes a user document; RecorderError::uploadFailed("your account has no team")
    // when it names no team.
    static RecorderUser parseUser(const std::string& uid, std::string_view firestoreDocument);

    // The URL of the user document read, with its field mask.
    std::string userDocumentURL(const std::string& uid) const;

private:
    void post(const std::string& base, const std::string& path, const nlohmann::ordered_json& body, double timeout,
              std::stop_token stop) const;

    RecorderEnvironment env_;
    HTTPClient http_;
};

nlohmann::ordered_json toJSON(const StreamInfo& info);
std::string_view rawValue(CloseStatus status);

}  // namespace brindlow
