#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BrindlowAPI.h"
#include "FragmentIndex.h"
#include "StreamKey.h"

namespace brindlow {

// What a take has sent and kept so far, enough to finish it after the process died.
// Everything in it is a fact already true on disk or at the backend.
struct TakeRecord {
    struct Range {
        int64_t n = 0;
        double t0 = 0;
        double t1 = 0;
        int64_t offset = 0;  // stream position of its first byte
        int64_t bytes = 0;
        bool uploaded = false;
        bool notified = false;
        bool operator==(const Range&) const = default;
    };
    struct Stream {
        int64_t initLength = 0;  // 0 until the init segment arrived
        uint32_t timescale = 0;
        bool initUploaded = false;
        std::vector<Range> ranges;  // the closed ones, in order
        // Index entries of every fragment in the closed ranges.
        std::vector<FragmentIndex::Entry> entries;
        bool manifest = false;
        bool finalNotice = false;
        bool index = false;
        bool operator==(const Stream&) const = default;

        int64_t closedBytes() const { return ranges.empty() ? 0 : ranges.back().offset + ranges.back().bytes; }
    };

    std::string aid;
    std::string uid;
    std::string environment;
    std::string createdAt;  // ISO 8601, UTC
    std::optional<std::string> languageCode;
    std::vector<StreamInfo> streams;
    bool registered = false;
    std::map<StreamKey, Stream> media;
    std::optional<double> duration;  // known once the take was stopped
    bool cursorLog = false;
    bool folder = false;
    std::optional<std::string> folderId;
    bool asset = false;
    bool closed = false;

    bool operator==(const TakeRecord&) const = default;
    nlohmann::ordered_json toJSON() const;
    // Throws nlohmann::json::exception when a member is missing or of the wrong kind.
    static TakeRecord fromJSON(const nlohmann::json& j);
};

// A take's record on disk, "take.json" in its spool folder, replaced atomically at
// every change. Any thread may call. A live take's change that cannot be written is
// logged and kept in memory, so the next change writes it again; update says whether
// it is on disk, and nothing is deleted on the strength of one that is not. A journal
// opened by recovery throws instead, before anything is deleted.
class TakeJournal {
public:
    static constexpr const char* fileName = "take.json";

    // Writes the first record into `folder` (created when missing); throws when it cannot.
    static std::shared_ptr<TakeJournal> create(std::filesystem::path folder, TakeRecord record);
    // Reads a folder's record; throws std::runtime_error for a missing or unreadable one.
    static std::shared_ptr<TakeJournal> open(std::filesystem::path folder);

    bool update(const std::function<void(TakeRecord&)>& change);
    bool update(StreamKey key, const std::function<void(TakeRecord::Stream&)>& change);
    TakeRecord record() const;
    const std::filesystem::path& folder() const { return folder_; }

private:
    TakeJournal(std::filesystem::path folder, TakeRecord record, bool strict);
    bool write();  // under lock_

    const std::filesystem::path folder_;
    const bool strict_;  // opened by recovery: a failed write throws
    mutable std::mutex lock_;
    TakeRecord record_;  // guarded by lock_
    bool complained_ = false;  // guarded by lock_
};

// Who owns a take folder: an exclusive lock on its "lock" file, which names the
// owner's pid. The kernel drops the lock when the owner dies, however it dies.
class TakeLock {
public:
    // Nothing when a live process holds it.
    static std::unique_ptr<TakeLock> tryAcquire(const std::filesystem::path& folder);
    ~TakeLock();
    TakeLock(const TakeLock&) = delete;
    TakeLock& operator=(const TakeLock&) = delete;

private:
    explicit TakeLock(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace brindlow
