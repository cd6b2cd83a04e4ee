#include "Secrets/FileTokenStore.h"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "Support/AtomicFile.h"
#include "Support/Paths.h"

namespace brindlow {
namespace fs = std::filesystem;

FileTokenStore::FileTokenStore(fs::path directory, const std::string& environmentName, std::string why)
    : directory_(std::move(directory)), path_(directory_ / ("session-" + environmentName + ".json")), why_(std::move(why)) {}

fs::path FileTokenStore::defaultDirectory() { return userConfigDirectory(); }

namespace {

void warn(const std::string& text) {
    std::fprintf(stderr, "brindlow: %s\n", text.c_str());
    syslog(LOG_WARNING, "%s", text.c_str());
}

// Whether `directory` is a real directory (not a link) of this user that nobody else
// may enter, made so when it is missing or merely too open.
bool makePrivateDirectory(const fs::path& directory) {
    std::error_code ec;
    fs::create_directories(directory.parent_path(), ec);
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st {};
    if (::lstat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return false;
    if ((st.st_mode & 0777) != 0700 && ::chmod(directory.c_str(), 0700) != 0) return false;
    return ::lstat(directory.c_str(), &st) == 0 && (st.st_mode & 0777) == 0700;
}

}  // namespace

void FileTokenStore::warnOnce() const {
    static std::atomic<bool> warned{false};
    if (!warned.exchange(true)) warn(why_ + "; the sign-in is kept in " + path_.string());
}

std::optional<StoredSession> FileTokenStore::load() {
    const auto bytes = readFile(path_);
    auto session = bytes ? StoredSession::decode(*bytes) : std::nullopt;
    if (session) warnOnce();
    return session;
}

void FileTokenStore::save(const StoredSession& session) {
    warnOnce();
    if (!makePrivateDirectory(directory_)) {
        // Another user could read or replace the token there: it lasts only this run.
        warn("the sign-in is not kept: " + directory_.string() + " is not a private folder of this user");
        return;
    }
    try {
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
