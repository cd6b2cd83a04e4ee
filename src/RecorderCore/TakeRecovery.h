#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "BrindlowAPI.h"
#include "ObjectPutter.h"
#include "RangeUploader.h"
#include "TakeJournal.h"

namespace brindlow {

// What became of one take folder.
struct RecoveryOutcome {
    enum class Kind {
        saved,      // filed at the backend (now or earlier)
        discarded,  // nothing playable was left; closed as discarded
        waiting,    // belongs to another account or backend
        busy,       // a live process owns it
        abandoned,  // moved to "abandoned/"
        failed,     // to be tried again at the next launch
    };
    std::string aid;
    Kind kind = Kind::failed;
    std::optional<std::string> folderId;
    double durationSeconds = 0;
    std::string reason;

    std::string_view kindName() const;
};

// Finishes takes that a dead process (or a failed upload) left in the spool: each
// step its record does not mark as done is taken, in the order a live take takes
// them, and recorded before the next, so a recovery cut short is itself recovered
// without anything sent twice.
class TakeRecovery {
public:
    static constexpr const char* abandonedFolder = "abandoned";

    struct Options {
        explicit Options(RangeUploaderLimits limits = {}) : limits(limits) {}
        RangeUploaderLimits limits;
        std::chrono::hours maxAge{24 * 30};
        RangeUploader::Sleeper sleeper;  // the real back-off when empty
        std::function<std::chrono::system_clock::time_point()> now;
    };

    TakeRecovery(BrindlowAPI api, std::shared_ptr<ObjectPutter> putter, std::filesystem::path spool, Options options);

    // The takes waiting in the spool, oldest first; a folder whose record cannot be
    // read is listed with only its aid. Empty take folders, and takes set aside longer
    // than maxAge ago, are removed on the way. Nothing when the spool is not a private
    // folder of this user.
    std::vector<TakeRecord> pending() const;
    RecoveryOutcome recover(const std::string& aid, const RecorderUser& user, std::stop_token stop = {});
    std::vector<RecoveryOutcome> recoverAll(const RecorderUser& user, std::stop_token stop = {});

private:
    RecoveryOutcome finish(TakeJournal& journal, const RecorderUser& user, std::stop_token stop);
    // The stream's media end in seconds, or nothing when it holds no media.
    std::optional<double> finishStream(TakeJournal& journal, StreamKey key, std::stop_token stop);
    // Records the range files the record does not name yet: every consecutive one after
    // its last range, each cut back to its last complete fragment.
    void nameSpooledRanges(TakeJournal& journal, StreamKey key);
    RecoveryOutcome abandon(const std::string& aid, const std::string& reason);
    // Removes a finished take's folder, or sets it aside when it holds a file its
    // record does not name.
    void tidyAway(const TakeRecord& record);
    void pruneAbandoned() const;

    const BrindlowAPI api_;
    const std::shared_ptr<ObjectPutter> putter_;
    const std::filesystem::path spool_;
    const Options options_;
};

}  // namespace brindlow
