#include "RunMarker.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>

#include "Support/AtomicFile.h"
#include "Support/Text.h"

namespace brindlow {
namespace fs = std::filesystem;

nlohmann::ordered_json RunMarker::Run::toJSON() const {
    nlohmann::ordered_json j;
    j["pid"] = pid;
    j["startedAt"] = startedAt;
    j["build"] = build;
    j["phase"] = phase;
    if (aid) j["aid"] = *aid;
    if (exception) j["exception"] = *exception;
    return j;
}

RunMarker::Run RunMarker::Run::fromJSON(const nlohmann::json& j) {
    Run run;
    run.pid = j.at("pid").get<int32_t>();
    run.startedAt = j.at("startedAt").get<std::string>();
    run.build = j.at("build").get<std::string>();
    run.phase = j.at("phase").get<std::string>();
    if (j.contains("aid")) run.aid = j.at("aid").get<std::string>();
    if (j.contains("exception")) run.exception = j.at("exception").get<std::string>();
    return run;
}

RunMarker::RunMarker(fs::path directory, std::string build, int32_t pid, AliveCheck isAlive)
    : directory_(std::move(directory)),
      file_(directory_ / ("run-" + std::to_string(pid) + ".json")),
      isAlive_(std::move(isAlive)) {
    run_.pid = pid;
    run_.startedAt = iso8601Now();
    run_.build = std::move(build);
}

bool RunMarker::processIsAlive(int32_t pid) {
    if (pid <= 0) return false;  // 0 and negatives would address process groups
    return kill(pid, 0) == 0 || errno == EPERM;
}

std::vector<RunMarker::Run> RunMarker::begin() {
    std::error_code ec;
    fs::create_directories(directory_, ec);
    std::vector<Run> stale;
    for (fs::directory_iterator it(directory_, ec), end; !ec && it != end; it.increment(ec)) {
        const auto& path = it->path();
        const auto name = path.filename().string();
        if (name.rfind("run-", 0) != 0 || path.extension() != ".json" || path == file_) continue;
        std::optional<Run> run;
        if (const auto bytes = readFile(path)) {
            try {
                run = Run::fromJSON(nlohmann::json::parse(*bytes));
            } catch (const std::exception&) {
            }
        }
        std::error_code ignored;
        if (!run) {
            fs::remove(path, ignored);
            continue;
        }
        if (isAlive_(run->pid)) continue;
        stale.push_back(std::move(*run));
        fs::remove(path, ignored);
    }
    write();
    std::stable_sort(stale.begin(), stale.end(), [](const Run& a, const Run& b) { return a.startedAt < b.startedAt; });
    return stale;
}

void RunMarker::update(std::string phase, std::optional<std::string> aid) {
    {
        std::lock_guard lock(lock_);
        run_.phase = std::move(phase);
        run_.aid = std::move(aid);
    }
    write();
}

void RunMarker::recordException(std::string_view text) {
    {
        std::lock_guard lock(lock_);
        run_.exception = characterPrefix(text, maxExceptionCharacters);
    }
    write();
}

void RunMarker::end() {
    std::error_code ignored;
    fs::remove(file_, ignored);
}

RunMarker::Run RunMarker::run() const {
    std::lock_guard lock(lock_);
    return run_;
}

void RunMarker::write() {
    // Copy and write in one turn, so two racing updates cannot leave the older state on disk.
    std::lock_guard turn(writeTurn_);
    const Run copy = run();
    try {
        writeFileAtomically(file_, copy.toJSON().dump());
    } catch (const std::exception&) {
        // A marker that cannot be written only means a crash goes unreported.
    }
}

}  // namespace brindlow
