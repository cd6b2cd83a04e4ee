#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace brindlow {

// One small file per running process, "run-<pid>.json" in the telemetry
// directory, naming what the process is doing. It is deleted at a normal quit, so a
// file whose process no longer exists tells the next launch that a run ended
// unexpectedly, and in which phase.
class RunMarker {
public:
    struct Run {
        int32_t pid = 0;
        std::string startedAt;
        std::string build;
        std::string phase = "launching";
        std::optional<std::string> aid;
        std::optional<std::string> exception;

        bool operator==(const Run&) const = default;
        nlohmann::ordered_json toJSON() const;
        static Run fromJSON(const nlohmann::json& j);
    };

    static constexpr size_t maxExceptionCharacters = 500;
    using AliveCheck = std::function<bool(int32_t pid)>;

    RunMarker(std::filesystem::path directory, std::string build, int32_t pid = int32_t(getpid()),
              AliveCheck isAlive = processIsAlive);

    // The runs earlier processes left behind without quitting, oldest first (their
    // files are deleted); then writes this process's file.
    std::vector<Run> begin();
    void update(std::string phase, std::optional<std::string> aid);
    void recordException(std::string_view text);
    void end();

    Run run() const;
    const std::filesystem::path& file() const { return file_; }
    const std::filesystem::path& directory() const { return directory_; }

    // The null signal reaches it, or is refused only for lack of permission.
    static bool processIsAlive(int32_t pid);

private:
    void write();

    const std::filesystem::path directory_;
    const std::filesystem::path file_;
    const AliveCheck isAlive_;
    std::mutex writeTurn_;
    mutable std::mutex lock_;
    Run run_;  // guarded by lock_
};

}  // namespace brindlow
