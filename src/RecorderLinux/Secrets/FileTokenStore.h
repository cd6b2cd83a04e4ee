#pragma once

#include <filesystem>
#include <string>

#include "AuthService.h"

namespace brindlow {

// The signed-in session in a file, for machines where no Secret Service answers:
// <directory>/session-<environment>.json, mode 0600 in a 0700 directory, replaced
// atomically. The first save or load of a session warns once (stderr and syslog)
// that the secret is in a plain file. Nothing is written into a directory that is a
// link, belongs to another user, or cannot be made 0700.
class FileTokenStore final : public TokenStore {
public:
    // `why` opens the warning: why the session is in a file.
    FileTokenStore(std::filesystem::path directory, const std::string& environmentName,
                   std::string why = "no Secret Service is available");
    // $XDG_CONFIG_HOME/BrindlowRecorder, or ~/.config/BrindlowRecorder.
    static std::filesystem::path defaultDirectory();

    std::optional<StoredSession> load() override;
    void save(const StoredSession& session) override;
    void clear() override;

    const std::filesystem::path& path() const { return path_; }

private:
    void warnOnce() const;

    std::filesystem::path directory_;
    std::filesystem::path path_;
    std::string why_;
};

}  // namespace brindlow
