#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Faults.h"

namespace brindlow::devserver {

struct SeedUser {
    std::string uid;
    std::string teamId;
    std::string teamRoot;
    std::string languageCode;
    // "uid,team[,root[,language]]"
    static std::optional<SeedUser> parse(const std::string& text);
};

struct Config {
    std::filesystem::path dataDir;
    std::string host = "127.0.0.1";
    int webPort = 47800;
    int monolithPort = 47801;
    int legacyPort = 47802;
    int googlePort = 47803;
    int objectsPort = 47804;
    std::string apiKey = "brindlow-dev-local-key-000000000000000";
    std::string projectId = "brindlow-dev";
    int64_t idTokenSeconds = 3600;
    int64_t urlSeconds = 3600;
    double staleSeconds = 90;  // an unclosed take this long without a notice failed to upload
    std::vector<SeedUser> seeds;
    std::string signInUser;  // who the sign-in page signs in; the first seeded user when empty
    std::vector<std::pair<std::string, FaultRule>> faults;
};

// The local stand-in for the backend, the token and document services, the object
// store and the web app, on loopback. Construct, start(), and it serves until stop().
class DevServer {
public:
    explicit DevServer(Config config);
    ~DevServer();
    DevServer(const DevServer&) = delete;
    DevServer& operator=(const DevServer&) = delete;

    // Binds every port (port 0 picks a free one) and starts serving; throws on failure.
    void start();
    void stop();
    // {"web":…, "monolith":…, "legacy":…, "google":…, "objects":…}
    nlohmann::json ports() const;

    // A custom token for `uid`, valid for an hour.
    static std::string mintCustomToken(const std::filesystem::path& dataDir, const std::string& uid);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace brindlow::devserver
