#pragma once

// Starts brindlow-devserver on free loopback ports for a test and stops it by PID.

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "BrindlowAPI.h"
#include "HTTP/CurlTransport.h"
#include "RecorderEnvironment.h"
#include "Support/FixedTokenProvider.h"
#include "Support/Subprocess.h"
#include "Support/Text.h"

namespace brindlow::testing {

class DevServerProcess {
public:
    // `extra` are further command-line flags; one user "alice" of team "t1" is seeded.
    explicit DevServerProcess(std::vector<std::string> extra = {}) {
        dataDir_ = std::filesystem::temp_directory_path() / ("brindlow-devserver-" + randomUUID());
        std::filesystem::create_directories(dataDir_);
        std::vector<std::string> args{BRINDLOW_DEVSERVER_PATH, "--data-dir", dataDir_.string(), "--port-base", "0",
                                      "--seed", "alice,t1,,de", "--seed", "bob,t2,acme"};
        args.insert(args.end(), extra.begin(), extra.end());
        // The ready line, read with a bound: a server that never gets ready fails the test.
        process_.emplace(args, ChildProcess::Options().readingOutput().withErrors(ChildProcess::Errors::inherited));
        if (!process_->started()) throw std::runtime_error("cannot start " + args[0]);
        const std::string line = process_->nextLine(std::chrono::seconds(10)).value_or("");
        const auto ready = nlohmann::json::parse(line, nullptr, false);
        if (!ready.is_object() || !ready.contains("ports")) {
            stop();
            throw std::runtime_error("brindlow-devserver did not get ready: " + line);
        }
        ports_ = ready["ports"];
        transport_ = std::make_shared<CurlTransport>();
    }
    ~DevServerProcess() {
        stop();
        std::error_code ec;
        std::filesystem::remove_all(dataDir_, ec);
    }
    DevServerProcess(const DevServerProcess&) = delete;
    DevServerProcess& operator=(const DevServerProcess&) = delete;

    void stop() { process_.reset(); }

    int port(const char* name) const { return ports_.at(name).get<int>(); }
    std::string base(const char* name) const { return "http://127.0.0.1:" + std::to_string(port(name)); }
    const std::filesystem::path& dataDir() const { return dataDir_; }
    const std::shared_ptr<CurlTransport>& transport() const { return transport_; }

    RecorderEnvironment environment() const {
        return RecorderEnvironment::dev().withStandIn({port("web"), port("monolith"), port("legacy"), port("google")});
    }

    // A raw request to the stand-in (no token unless given).
    HTTPResponse request(const std::string& method, const std::string& url, const std::string& body = {},
                         std::vector<std::pair<std::string, std::string>> headers = {}) const {
        HTTPRequest r;
        r.method = method;
        r.url = url;
        r.body = body;
        r.headers = std::move(headers);
        if (!body.empty()) r.headers.emplace_back("Content-Type", "application/json");
        r.timeoutSeconds = 10;
        return transport_->perform(r);
    }

    std::string mintCustomToken(const std::string& uid) const {
        const auto answer = request("POST", base("monolith") + "/_dev/mint", nlohmann::json{{"uid", uid}}.dump());
        return nlohmann::json::parse(answer.body).at("token");
    }

    // Signs `uid` in through the token service; returns {idToken, refreshToken}.
    std::pair<std::string, std::string> signIn(const std::string& uid) const {
        const auto answer = request("POST", environment().identityToolkit + "/v1/accounts:signInWithCustomToken?key=" +
                                                environment().firebaseAPIKey,
                                    nlohmann::json{{"token", mintCustomToken(uid)}, {"returnSecureToken", true}}.dump());
        const auto j = nlohmann::json::parse(answer.body);
        return {j.at("idToken"), j.at("refreshToken")};
    }

    BrindlowAPI api(const std::string& uid = "alice") const {
        return BrindlowAPI(environment(), HTTPClient(transport_, std::make_shared<FixedTokenProvider>(signIn(uid).first)));
    }

    nlohmann::json state(const std::string& aid = {}) const {
        const auto answer = request("GET", base("monolith") + "/_dev/state" + (aid.empty() ? "" : "?aid=" + aid));
        return nlohmann::json::parse(answer.body);
    }

    void setFault(const nlohmann::json& fault) const {
        request("POST", base("monolith") + "/_dev/faults", fault.dump());
    }
    void clearFaults() const { request("DELETE", base("monolith") + "/_dev/faults"); }
    // A stream as stored: its range objects "0.mp4", "1.mp4", ... read in order (the first
    // begins with the init segment), written to `file` for ffprobe; returns the file.
    std::filesystem::path storedStream(const std::string& aid, const std::string& stream,
                                       const std::filesystem::path& file) const {
        std::ofstream out(file, std::ios::binary);
        for (int n = 0;; ++n) {
            const auto range = dataDir_ / "objects" / aid / stream / (std::to_string(n) + ".mp4");
            if (!std::filesystem::exists(range)) break;
            out << std::ifstream(range, std::ios::binary).rdbuf();
        }
        return file;
    }

    // Each route's rule with the requests it still applies to ("times").
    nlohmann::json faults() const { return nlohmann::json::parse(request("GET", base("monolith") + "/_dev/faults").body); }

private:
    std::optional<ChildProcess> process_;
    std::filesystem::path dataDir_;
    nlohmann::json ports_;
    std::shared_ptr<CurlTransport> transport_;
};

}  // namespace brindlow::testing
