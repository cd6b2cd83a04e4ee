#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace brindlow {

// The ports of a local backend stand-in (brindlow-devserver) on 127.0.0.1.
struct StandInPorts {
    int webApp = 0;
    int monolith = 0;
    int legacy = 0;
    int google = 0;  // the token, sign-in and document services

    // "W,M,L,G", or one base port P meaning P, P+1, P+2, P+3.
    static std::optional<StandInPorts> parse(std::string_view text);
};

// The deployment the recorder talks to. Built from build configuration; a dev
// environment can be pointed at a local stand-in on chosen ports, a prod one cannot.
struct RecorderEnvironment {
    std::string name;  // "dev" or "prod"
    std::string legacyAPI;     // ends in "/v1/"
    std::string monolithAPI;   // path "/"
    std::string webApp;        // origin, no path
    std::string firebaseAPIKey;
    std::string firebaseProjectId;
    // The Google-compatible services; the same for both environments unless a dev
    // environment is pointed at a stand-in.
    std::string identityToolkit;
    std::string secureToken;
    std::string firestore;

    bool operator==(const RecorderEnvironment&) const = default;

    static const RecorderEnvironment& dev();
    static const RecorderEnvironment& prod();

    // The environment named by the app's info.json key "BrindlowEnvironment". Any other
    // value is a build error: the process stops with the message below on stderr.
    static RecorderEnvironment fromBundle(const nlohmann::json& bundle);
    // The stop message for a bundle value other than "dev" or "prod"; nothing when it is one.
    static std::optional<std::string> bundleError(const nlohmann::json& bundle);

    // This dev environment with every host on 127.0.0.1 at `ports`. Throws
    // std::logic_error for any environment but dev.
    RecorderEnvironment withStandIn(const StandInPorts& ports) const;

    // The web page of a saved recording.
    std::string recordingURL(const std::string& folderId) const;
};

}  // namespace brindlow
