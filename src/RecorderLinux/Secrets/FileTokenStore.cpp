#include "Secrets/FileTokenStore.h"

#include <sys/stat.h>
#include <syslog.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "Support/AtomicFile.h"
#include "Support/Paths.h"

namespace brindlow {
namespace fs = std::filesystem;

FileTokenStore::FileTokenStore(fs::path directory, const std::string& environmentName)
    : directory_(std::move(directory)), path_(directory_ / ("session-" + environmentName + ".json")) {}

fs::path FileTokenStore::defaultDirectory() { return userConfigDirectory(); }

std::optional<StoredSession> FileTokenStore::load() {
    const auto bytes = readFile(path_);
    return bytes ? StoredSession::decode(*bytes) : std::nullopt;
}

void FileTokenStore::save(const StoredSession& session) {
    static std::atomic<bool> warned{false};
    if (!warned.exchange(true)) {
        const std::string warning = "no Secret Service is available; the sign-in is kept in " + path_.string();
        std::fprintf(stderr, "brindlow: %s\n", warning.c_str());
        syslog(LOG_WARNING, "%s", warning.c_str());
    }
    try {
        std::error_code ec;
        fs::create_directories(directory_, ec);
        chmod(directory_.c_str(), 0700);
        writeFileAtomically(path_, session.encoded(), 0600);
    } catch (const std::exception&) {
        // The store never fails its caller: the session then lasts only this run.
    }
}

void FileTokenStore::clear() {
    std::error_code ignored;
    fs::remove(path_, ignored);
}

}  // namespace brindlow
