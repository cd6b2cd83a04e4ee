// brindlow-devserver: the local stand-in for Brindlow's backend, token and
// document services, object store and web app.

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <chrono>

#include "DevServer.h"

using namespace brindlow::devserver;

namespace {

constexpr const char* kUsage = R"(usage: brindlow-devserver [options]
       brindlow-devserver mint-token --data-dir DIR --uid UID

Serves, on 127.0.0.1 only, everything the recorder talks to:
  web app        (default port 47800)  /desktop/sign-in; / lists the recordings;
                                       /screen-recorder/view/<folder or take id> plays one
  monolith API   (default port 47801)  recordings, folders, cursor logs, events, diagnostics
  legacy API     (default port 47802)  /v1/assets/..., signed range URLs
  Google-compatible services (47803)   custom-token sign-in, token refresh, user documents
  object store   (default port 47804)  PUT at signed URLs only
When every port is bound it prints one line of JSON on standard output:
  {"ready":true,"ports":{"web":…,"monolith":…,"legacy":…,"google":…,"objects":…}}
and serves until SIGINT or SIGTERM.

Options:
  --data-dir DIR        where the SQLite file, the signing secret and uploaded
                        objects live (required)
  --port-base N         web N, monolith N+1, legacy N+2, Google N+3, objects N+4;
                        0 gives every server a free port of its own
  --web-port N, --monolith-port N, --legacy-port N, --google-port N, --objects-port N
                        one port each (0: a free one)
  --seed UID,TEAM[,ROOT[,LANGUAGE]]
                        a user and the team they record for (repeatable)
  --sign-in-user UID    the user the web app's sign-in page signs in
                        (default: the first --seed)
  --api-key KEY         the Web API key the token services require
                        (default: the dev build's key)
  --project ID          the project id of user documents (default brindlow-dev)
  --id-token-seconds N  lifetime of issued ID tokens (default 3600)
  --url-seconds N       lifetime of signed object URLs (default 3600)
  --stale-seconds N     an unclosed take with no notice for N seconds is shown
                        as "upload failed" (default 90)
  --fault ROUTE=RULE    make a route misbehave (repeatable; see below)
  -h, --help            this text

Routes: register heartbeat ranges index close cursor folders events diagnostics
        sign asset signin refresh user put
RULE:   STATUS (always), STATUSxN (N times), STATUS@RATE (a share, 0..1),
        drop[xN|@RATE] (close the connection unanswered),
        delay:MS[xN|@RATE] (answer late). Example: --fault put=500@0.3

While it runs, on the monolith port:
  GET    /_dev/state[?aid=AID]  everything stored, as JSON: users, recordings with
                                their notices in order, objects, asset, cursor log
                                size and stream check, folders, events, diagnostics
  POST   /_dev/faults           {"route":"put","status":500,"times":2} or
                                {"route":"put","drop":true,"rate":0.3} or
                                {"route":"user","delayMs":1500}
  GET    /_dev/faults           the rules, each with the requests it still applies to
  DELETE /_dev/faults           clears every fault
  POST   /_dev/revoke           {"uid":"…"} revokes the user's refresh tokens
  POST   /_dev/mint             {"uid":"…"} answers {"token":"<custom token>"}
)";

int parsePort(const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (!*text || *end || value < 0 || value > 65535) {
        std::fprintf(stderr, "brindlow-devserver: not a port: %s\n", text);
        std::exit(2);
    }
    return int(value);
}

int64_t parsePositive(const char* text) {
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (!*text || *end || value < 1) {
        std::fprintf(stderr, "brindlow-devserver: not a positive number: %s\n", text);
        std::exit(2);
    }
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    Config config;
    bool mint = false;
    std::string mintUid;
    int i = 1;
    if (argc > 1 && std::strcmp(argv[1], "mint-token") == 0) {
        mint = true;
        i = 2;
    }
    auto value = [&](const char* flag) -> const char* {
        if (i + 1 >= argc) {
            std::fprintf(stderr, "brindlow-devserver: %s needs a value\n", flag);
            std::exit(2);
        }
        return argv[++i];
    };
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--data-dir") {
            config.dataDir = value("--data-dir");
        } else if (arg == "--uid" && mint) {
            mintUid = value("--uid");
        } else if (arg == "--port-base") {
            const int base = parsePort(value("--port-base"));
            if (base > 65530) {
                std::fprintf(stderr, "brindlow-devserver: --port-base leaves no room for five ports\n");
                return 2;
            }
            config.webPort = base;
            config.monolithPort = base ? base + 1 : 0;
            config.legacyPort = base ? base + 2 : 0;
            config.googlePort = base ? base + 3 : 0;
            config.objectsPort = base ? base + 4 : 0;
        } else if (arg == "--web-port") {
            config.webPort = parsePort(value("--web-port"));
        } else if (arg == "--monolith-port") {
            config.monolithPort = parsePort(value("--monolith-port"));
        } else if (arg == "--legacy-port") {
            config.legacyPort = parsePort(value("--legacy-port"));
        } else if (arg == "--google-port") {
            config.googlePort = parsePort(value("--google-port"));
        } else if (arg == "--objects-port") {
            config.objectsPort = parsePort(value("--objects-port"));
        } else if (arg == "--seed") {
            const auto seed = SeedUser::parse(value("--seed"));
            if (!seed) {
                std::fprintf(stderr, "brindlow-devserver: --seed takes UID,TEAM[,ROOT[,LANGUAGE]] of letters, digits, - _ .\n");
                return 2;
            }
            config.seeds.push_back(*seed);
        } else if (arg == "--sign-in-user") {
            config.signInUser = value("--sign-in-user");
        } else if (arg == "--api-key") {
            config.apiKey = value("--api-key");
        } else if (arg == "--project") {
            config.projectId = value("--project");
        } else if (arg == "--id-token-seconds") {
            config.idTokenSeconds = parsePositive(value("--id-token-seconds"));
        } else if (arg == "--url-seconds") {
            config.urlSeconds = parsePositive(value("--url-seconds"));
        } else if (arg == "--stale-seconds") {
            config.staleSeconds = double(parsePositive(value("--stale-seconds")));
        } else if (arg == "--fault") {
            const std::string fault = value("--fault");
            const size_t eq = fault.find('=');
            const auto rule = eq == std::string::npos ? std::nullopt : FaultRule::parse(fault.substr(eq + 1));
            if (!rule) {
                std::fprintf(stderr, "brindlow-devserver: --fault takes ROUTE=RULE, e.g. put=500@0.3\n");
                return 2;
            }
            config.faults.emplace_back(fault.substr(0, eq), *rule);
        } else {
            std::fprintf(stderr, "brindlow-devserver: unknown option %s (see --help)\n", arg.c_str());
            return 2;
        }
    }
    if (config.dataDir.empty()) {
        std::fprintf(stderr, "brindlow-devserver: --data-dir is required (see --help)\n");
        return 2;
    }
    try {
        if (mint) {
            if (mintUid.empty()) {
                std::fprintf(stderr, "brindlow-devserver: mint-token needs --uid\n");
                return 2;
            }
            std::printf("%s\n", DevServer::mintCustomToken(config.dataDir, mintUid).c_str());
            return 0;
        }
        // Block the stop signals in every thread; this one waits for them.
        sigset_t stopSignals;
        sigemptyset(&stopSignals);
        sigaddset(&stopSignals, SIGINT);
        sigaddset(&stopSignals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
        std::signal(SIGPIPE, SIG_IGN);

        DevServer server(config);
        server.start();
        std::printf("%s\n", nlohmann::json{{"ready", true}, {"ports", server.ports()}}.dump().c_str());
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stopSignals, &signal);
        // Idle keep-alive connections would hold an orderly stop for seconds; every
        // record is committed already, so stop listening and leave.
        std::thread([&server] { server.stop(); }).detach();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::fflush(stdout);
        std::_Exit(0);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "brindlow-devserver: %s\n", e.what());
        return 1;
    }
    return 0;
}
