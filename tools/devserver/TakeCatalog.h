#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "StoredStream.h"

namespace brindlow::devserver {

class Database;

// Reads what the stand-in stored about takes (registrations, notices, objects,
// folders, assets, cursor logs) and describes them for the web app's pages. Every
// path it names is built from database rows, never from a request. Safe to call
// from any thread: the database serialises its queries.
class TakeCatalog {
public:
    // A take without a notice for `staleSeconds` and never closed is one whose upload failed.
    TakeCatalog(Database& db, std::filesystem::path objectsDir, double staleSeconds)
        : db_(db), objectsDir_(std::move(objectsDir)), staleSeconds_(staleSeconds) {}

    // The take's id for a folder id or a take id; nothing when neither is known.
    std::optional<std::string> resolve(const std::string& id) const;
    // {"aid", "folderId", "title", "createdAt", "status", "durationSeconds", "streams": [{"key",
    //  "width", "height", "codecs", "bytes", "ranges": [{"n", "offset", "size", "t0", "t1"}], "index",
    //  "url"}], "cursorUrl"}; status is "recording", "saved", "discarded" or "uploadFailed".
    nlohmann::json describe(const std::string& aid) const;
    // Every take's description without its ranges and indexes, newest first.
    nlohmann::json list() const;
    // The contiguous stored ranges of a stream the take registered.
    std::optional<StoredStream> stream(const std::string& aid, const std::string& key) const;
    // The stored cursor log document, as the recorder sent it.
    std::optional<std::string> cursorLog(const std::string& aid) const;

    // The RFC 6381 codecs of an init segment's tracks ("avc1.64001f,mp4a.40.2"); empty
    // when no track is understood.
    static std::string codecs(std::string_view initSegment);

private:
    Database& db_;
    const std::filesystem::path objectsDir_;
    const double staleSeconds_;
};

}  // namespace brindlow::devserver
