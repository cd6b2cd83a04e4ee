// brindlow-devserver's own behaviour, as a client sees it over loopback.

#include <gtest/gtest.h>

#include <thread>

#include "FFmpeg/FFmpegSegmentEncoder.h"
#include "FragmentIndex.h"
#include "MP4Boxes.h"
#include "Support/AtomicFile.h"
#include "Support/Subprocess.h"
#include "Support/DevServerProcess.h"
#include "Support/SyntheticMedia.h"
#include "Tokens.h"
#include "WebGate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace brindlow {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

class DevServerTest : public ::testing::Test {
protected:
    testing::DevServerProcess server;

    HTTPResponse post(const std::string& path, const json& body, const std::string& token) {
        return server.request("POST", server.base("monolith") + path, body.dump(), {{"Authorization", "Bearer " + token}});
    }
};

TEST(DevServerTokens, AreCheckedAndExpire) {
    testing::DevServerProcess server({"--id-token-seconds", "2"});
    auto post = [&](const std::string& path, const json& body, const std::string& token) {
        return server.request("POST", server.base("monolith") + path, body.dump(), {{"Authorization", "Bearer " + token}});
    };
    const json registration = {{"id", "r1"}, {"type", "multistream"}, {"uploadStyle", "ranges"},
                               {"streams", {{{"key", "screen"}, {"mimeType", "video/mp4"}, {"width", 2}, {"height", 2}}}}};
    EXPECT_EQ(server.request("POST", server.base("monolith") + "/recordings", registration.dump()).status, 401);
    EXPECT_EQ(post("/recordings", registration, "not.a.token").status, 401);
    // A custom token is no ID token.
    EXPECT_EQ(post("/recordings", registration, server.mintCustomToken("alice")).status, 401);
    const std::string idToken = server.signIn("alice").first;
    EXPECT_EQ(post("/recordings", registration, idToken).status, 200);
    std::this_thread::sleep_for(2100ms);
    EXPECT_EQ(post("/recordings/r1/heartbeat", json::object(), idToken).status, 401);
}

TEST_F(DevServerTest, RefreshTokensWorkUntilRevoked) {
    const auto [idToken, refresh] = server.signIn("alice");
    const std::string url = server.base("google") + "/v1/token?key=" + server.environment().firebaseAPIKey;
    const std::string form = "grant_type=refresh_token&refresh_token=" + refresh;
    const auto fresh = server.request("POST", url, form, {{"Content-Type", "application/x-www-form-urlencoded"}});
    ASSERT_EQ(fresh.status, 200);
    EXPECT_EQ(json::parse(fresh.body)["refresh_token"], refresh);
    EXPECT_TRUE(json::parse(fresh.body)["expires_in"].is_string());
    server.request("POST", server.base("monolith") + "/_dev/revoke", json{{"uid", "alice"}}.dump());
    EXPECT_EQ(server.request("POST", url, form).status, 400);
    EXPECT_EQ(server.request("POST", server.base("google") + "/v1/token?key=wrong", form).status, 400);
}

TEST_F(DevServerTest, BodiesAreValidatedStrictly) {
    const std::string token = server.signIn("alice").first;
    const json stream = {{"key", "screen"}, {"mimeType", "video/mp4"}, {"width", 2}, {"height", 2}};
    const json good = {{"id", "r2"}, {"type", "multistream"}, {"uploadStyle", "ranges"}, {"streams", {stream}}};
    json withoutType = good;
    withoutType.erase("type");
    for (json bad : {json{{"id", "r2"}}, withoutType,
                     json{{"id", 5}, {"type", "multistream"}, {"uploadStyle", "ranges"}, {"streams", {stream}}},
                     json{{"id", "r2"}, {"type", "multistream"}, {"uploadStyle", "ranges"}, {"streams", {stream}}, {"x", 1}},
                     json{{"id", "r2"}, {"type", "multistream"}, {"uploadStyle", "ranges"},
                          {"streams", {{{"key", "microphone"}, {"mimeType", "video/mp4"}, {"width", 2}, {"height", 2}}}}}}) {
        EXPECT_EQ(post("/recordings", bad, token).status, 400) << bad.dump();
    }
    EXPECT_EQ(server.request("POST", server.base("monolith") + "/recordings", "{not json",
                             {{"Authorization", "Bearer " + token}}).status,
              400);
    ASSERT_EQ(post("/recordings", good, token).status, 200);
    EXPECT_EQ(post("/recordings/r2/ranges", {{"stream", "screen"}, {"n", 0}, {"t0", 0}}, token).status, 400);
    EXPECT_EQ(post("/recordings/r2/ranges", {{"stream", "screen"}, {"n", "0"}, {"t0", 0}, {"t1", 1}}, token).status, 400);
    EXPECT_EQ(post("/recordings/r2/ranges", {{"stream", "screen"}, {"final", false}}, token).status, 400);
    EXPECT_EQ(post("/recordings/r2/close", {{"status", "kept"}}, token).status, 400);
    EXPECT_EQ(post("/recordings/r2/heartbeat", {{"x", 1}}, token).status, 400);
}

TEST(DevServerSignedURLs, RefuseTamperingAndExpire) {
    testing::DevServerProcess server({"--url-seconds", "2"});
    auto post = [&](const std::string& path, const json& body, const std::string& token) {
        return server.request("POST", server.base("monolith") + path, body.dump(), {{"Authorization", "Bearer " + token}});
    };
    const std::string token = server.signIn("alice").first;
    post("/recordings", {{"id", "r3"}, {"type", "multistream"}, {"uploadStyle", "ranges"},
                         {"streams", {{{"key", "screen"}, {"mimeType", "video/mp4"}, {"width", 2}, {"height", 2}}}}},
         token);
    const auto answer = server.request("POST", server.base("legacy") + "/v1/assets/r3/upload/range-urls",
                                       json{{"stream", "screen"}, {"from", 0}, {"count", 1}}.dump(),
                                       {{"Authorization", "Bearer " + token}});
    const std::string url = json::parse(answer.body)["urls"][0];
    EXPECT_EQ(server.request("PUT", url, "data").status, 200);
    // The same signature for another object, or another expiry, is refused.
    std::string other = url;
    other.replace(other.find("/0.mp4"), 6, "/1.mp4");
    EXPECT_EQ(server.request("PUT", other, "data").status, 403);
    std::string later = url;
    const size_t e = later.find("expires=") + 8;
    later[e + 2] = later[e + 2] == '9' ? '8' : '9';
    EXPECT_EQ(server.request("PUT", later, "data").status, 403);
    std::this_thread::sleep_for(2100ms);
    EXPECT_EQ(server.request("PUT", url, "data").status, 403);
}

// A PUT whose body stops short (the client went away) leaves the stored object as it was.
TEST_F(DevServerTest, AShortBodyNeverReplacesAStoredObject) {
    const std::string token = server.signIn("alice").first;
    post("/recordings", {{"id", "r5"}, {"type", "multistream"}, {"uploadStyle", "ranges"},
                         {"streams", {{{"key", "screen"}, {"mimeType", "video/mp4"}, {"width", 2}, {"height", 2}}}}},
         token);
    const auto answer = server.request("POST", server.base("legacy") + "/v1/assets/r5/upload/range-urls",
                                       json{{"stream", "screen"}, {"from", 0}, {"count", 1}}.dump(),
                                       {{"Authorization", "Bearer " + token}});
    const std::string url = json::parse(answer.body)["urls"][0];
    ASSERT_EQ(server.request("PUT", url, "whole").status, 200);
    // The same URL again, from a client that announces 1000 bytes and hangs up after 10.
    const size_t hostAt = url.find("//") + 2, pathAt = url.find('/', hostAt);
    const int port = std::stoi(url.substr(url.find(':', hostAt) + 1));
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string request = "PUT " + url.substr(pathAt) + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1000\r\n\r\n0123456789";
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
    ::shutdown(fd, SHUT_WR);
    char buffer[512];
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
    ::close(fd);
    EXPECT_EQ(readFile(server.dataDir() / "objects" / "r5" / "screen" / "0.mp4"), "whole");
    EXPECT_EQ(server.state("r5")["recordings"][0]["objects"][0]["size"], 5);
}

// The web port's gate passes on only heads whose every line ends in CRLF and whose
// header names are tokens: anything else could end a line, or name a header, differently
// for the server behind it, and so slip a Range past the gate.
TEST(DevServerWebGate, RefusesHeadsTheServerBehindCouldReadDifferently) {
    const std::string ok = "GET /a HTTP/1.1\r\nHost: x\r\nRange: bytes=0-1\r\n\r\n";
    EXPECT_EQ(devserver::WebGate::rewriteHead(ok),
              "GET /a HTTP/1.1\r\nHost: x\r\nX-Brindlow-Range: bytes=0-1\r\nConnection: close\r\n\r\n");
    for (const std::string head : {
             "GET /a HTTP/1.1\r\nHost: x\nRange: bytes=0-1\r\n\r\n",  // a bare LF
             "GET /a HTTP/1.1\r\nHost: x\rRange: bytes=0-1\r\n\r\n",  // a bare CR
             "GET /a HTTP/1.1\nHost: x\r\n\r\n",                        // in the request line
             "GET /a HTTP/1.1\r\nRange : bytes=0-1\r\n\r\n",           // space before the colon
             "GET /a HTTP/1.1\r\n Range: bytes=0-1\r\n\r\n",           // a folded line
             "GET /a HTTP/1.1\r\nX(y): z\r\n\r\n",
             "GET /a HTTP/1.1\r\n: z\r\n\r\n",
         })
        EXPECT_EQ(devserver::WebGate::rewriteHead(head), "") << head;
}

TEST_F(DevServerTest, FaultsDoWhatTheySay) {
    const std::string token = server.signIn("alice").first;
    post("/recordings", {{"id", "r4"}, {"type", "multistream"}, {"uploadStyle", "ranges"},
                         {"streams", {{{"key", "screen"}, {"mimeType", "video/mp4"}, {"width", 2}, {"height", 2}}}}},
         token);
    server.setFault({{"route", "heartbeat"}, {"status", 503}, {"times", 2}});
    EXPECT_EQ(post("/recordings/r4/heartbeat", json::object(), token).status, 503);
    EXPECT_EQ(post("/recordings/r4/heartbeat", json::object(), token).status, 503);
    EXPECT_EQ(post("/recordings/r4/heartbeat", json::object(), token).status, 200);
    server.setFault({{"route", "heartbeat"}, {"status", 500}, {"rate", 0.5}});
    int failures = 0;
    for (int i = 0; i < 200; ++i) failures += post("/recordings/r4/heartbeat", json::object(), token).status == 500;
    EXPECT_GT(failures, 60);
    EXPECT_LT(failures, 140);
    server.request("DELETE", server.base("monolith") + "/_dev/faults");
    EXPECT_EQ(post("/recordings/r4/heartbeat", json::object(), token).status, 200);
    // Faults at start-up come from flags.
    testing::DevServerProcess flagged({"--fault", "heartbeat=418x1"});
    EXPECT_EQ(flagged.state()["faults"]["heartbeat"]["status"], 418);
}

// Uploads one real stream by hand: init, one range holding everything, manifest, notices.
TEST_F(DevServerTest, StreamCheckPassesAGoodUploadAndNamesWhatIsBroken) {
    std::vector<StreamSegment> segments;
    {
        FFmpegSegmentEncoder::Options options;
        options.logEncoderChoice = false;
        SegmentWriter writer({160, 120, 30, 300'000}, std::nullopt, [&](StreamSegment s) { segments.push_back(std::move(s)); },
                             FFmpegSegmentEncoder::factory(options));
        for (int i = 0; i < 150; ++i) {
            while (!writer.isReadyForVideo()) std::this_thread::sleep_for(1ms);
            writer.appendVideo(testing::videoSample(testing::movingPicture(160, 120, i), MediaTime(i, 30), 30));
        }
        writer.finish();
    }
    ASSERT_GE(segments.size(), 3u);
    std::string all;
    FragmentIndex index{int64_t(segments[0].data.size()), MP4Boxes::timescale(segments[0].data), {}, 0};
    for (const auto& s : segments) {
        if (s.kind == StreamSegment::Kind::media) index.entries.push_back(FragmentIndex::entryFor(s.data, int64_t(all.size()), 0));
        all.append(s.data.begin(), s.data.end());
    }
    index.totalBytes = int64_t(all.size());

    auto upload = [&](const std::string& aid, bool breakIt) {
        BrindlowAPI api = server.api("alice");
        api.registerRecording(aid, {{StreamKey::screen, "video/mp4", 160, 120}}, std::nullopt);
        const auto batch = api.signRangeURLs(aid, StreamKey::screen, 0, 1);
        auto put = [&](const std::string& url, const std::string& body) {
            EXPECT_EQ(server.request("PUT", url, body, {{"Content-Type", "video/mp4"}}).status, 200);
        };
        put(batch.initUrl, std::string(segments[0].data.begin(), segments[0].data.end()));
        put(batch.urls[0], breakIt ? all.substr(0, all.size() - 100) : all);
        put(batch.manifestUrl, json{{"bytes", all.size()}, {"ranges", 1}}.dump());
        api.notifyRange(aid, StreamKey::screen, 0, 0, 7);
        api.notifyRangesFinal(aid, StreamKey::screen);
        FragmentIndex sent = index;
        if (breakIt) sent.entries[1].offset += 3;
        api.sendIndex(aid, StreamKey::screen, sent);
        api.close(aid, CloseStatus::saved, std::nullopt);
        return server.state(aid).at("recordings").at(0)["check"];
    };
    const json good = upload("good", false);
    EXPECT_TRUE(good["ok"].get<bool>()) << good.dump();
    const json broken = upload("broken", true);
    EXPECT_FALSE(broken["ok"].get<bool>());
    const std::string problems = broken["streams"][0]["problems"].dump();
    EXPECT_NE(problems.find("bytes, the manifest says"), std::string::npos) << problems;
    EXPECT_NE(problems.find("does not point at a moof box"), std::string::npos) << problems;
}

TEST(DevServerCommandLine, HelpAndMint) {
    const auto help = testing::runCommand({BRINDLOW_DEVSERVER_PATH, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* flag : {"--data-dir", "--port-base", "--web-port", "--monolith-port", "--legacy-port", "--google-port",
                             "--objects-port", "--seed", "--api-key", "--project", "--id-token-seconds", "--url-seconds",
                             "--fault", "--sign-in-user", "mint-token"}) {
        EXPECT_NE(help.output.find(flag), std::string::npos) << flag;
    }
    EXPECT_NE(testing::runCommand({BRINDLOW_DEVSERVER_PATH, "--bogus"}).exitCode, 0);
    const auto dir = std::filesystem::temp_directory_path() / ("brindlow-mint-" + randomUUID());
    const auto minted = testing::runCommand({BRINDLOW_DEVSERVER_PATH, "mint-token", "--data-dir", dir.string(), "--uid", "u1"});
    EXPECT_EQ(minted.exitCode, 0);
    // The token is signed with the data directory's secret.
    const auto secret = readFile(dir / "secret");
    ASSERT_TRUE(secret.has_value());
    std::string token = minted.output;
    token.erase(token.find_last_not_of('\n') + 1);
    EXPECT_TRUE(devserver::TokenSigner(*secret).verify(token, "custom", devserver::unixNow()).has_value());
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace brindlow
