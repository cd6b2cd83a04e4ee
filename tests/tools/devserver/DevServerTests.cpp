// brindlow-devserver's own behaviour, as a client sees it over loopback.

#include <gtest/gtest.h>

#include <thread>

#include "FragmentIndex.h"
#include "RecorderCore/MP4Fixture.h"
#include "StreamCheck.h"
#include "Support/AtomicFile.h"
#include "Support/DevServerProcess.h"
#include "Support/Subprocess.h"
#include "Tokens.h"
#include "WebGate.h"

namespace brindlow {
namespace {

using json = nlohmann::json;
using testing::DevServerProcess;
using namespace std::chrono_literals;

HTTPResponse post(const DevServerProcess& server, const std::string& path, const json& body, const std::string& token) {
    return server.request("POST", server.base("monolith") + path, body.dump(), {{"Authorization", "Bearer " + token}});
}
json registration(const std::string& id) {
    return {{"id", id}, {"type", "multistream"}, {"uploadStyle", "ranges"},
            {"streams", {{{"key", "screen"}, {"mimeType", "video/mp4"}, {"width", 2}, {"height", 2}}}}};
}
// Registers take `aid` and answers the signed URL for its first range.
std::string firstRangeURL(const DevServerProcess& server, const std::string& token, const std::string& aid) {
    post(server, "/recordings", registration(aid), token);
    const auto answer = server.request("POST", server.base("legacy") + "/v1/assets/" + aid + "/upload/range-urls",
                                       json{{"stream", "screen"}, {"from", 0}, {"count", 1}}.dump(),
                                       {{"Authorization", "Bearer " + token}});
    return json::parse(answer.body)["urls"][0];
}

// ID tokens and signed URLs both expire (after two seconds here); refreshing and revoking
// are left to the sign-in tests.
TEST(DevServerCredentials, TokensAndSignedURLsAreCheckedAndExpire) {
    DevServerProcess server({"--id-token-seconds", "2", "--url-seconds", "2"});
    EXPECT_EQ(server.request("POST", server.base("monolith") + "/recordings", registration("r1").dump()).status, 401);
    // A custom token is no ID token.
    EXPECT_EQ(post(server, "/recordings", registration("r1"), server.mintCustomToken("alice")).status, 401);
    const std::string idToken = server.signIn("alice").first;
    EXPECT_EQ(post(server, "/recordings", registration("r1"), idToken).status, 200);

    const std::string url = firstRangeURL(server, idToken, "r3");
    EXPECT_EQ(server.request("PUT", url, "data").status, 200);
    // The same signature for another object is refused.
    std::string other = url;
    other.replace(other.find("/0.mp4"), 6, "/1.mp4");
    EXPECT_EQ(server.request("PUT", other, "data").status, 403);

    std::this_thread::sleep_for(2100ms);
    EXPECT_EQ(post(server, "/recordings/r1/heartbeat", json::object(), idToken).status, 401);
    EXPECT_EQ(server.request("PUT", url, "data").status, 403);
}

class DevServerTest : public ::testing::Test {
protected:
    DevServerProcess server;
    const std::string token = server.signIn("alice").first;
};

TEST_F(DevServerTest, BodiesAreValidatedStrictly) {
    const json good = registration("r2");
    for (const auto& [pointer, value] : std::vector<std::pair<std::string, json>>{
             {"/type", nullptr}, {"/id", 5}, {"/x", 1}, {"/streams/0/key", "microphone"}}) {
        json bad = good;
        if (value.is_null()) bad.erase(pointer.substr(1));  // missing
        else bad[json::json_pointer(pointer)] = value;
        EXPECT_EQ(post(server, "/recordings", bad, token).status, 400) << bad.dump();
    }
    EXPECT_EQ(server.request("POST", server.base("monolith") + "/recordings", "{not json", {{"Authorization", "Bearer " + token}}).status, 400);
    ASSERT_EQ(post(server, "/recordings", good, token).status, 200);
    for (const auto& [path, body] : std::vector<std::pair<std::string, json>>{
             {"/ranges", {{"stream", "screen"}, {"n", 0}, {"t0", 0}}},
             {"/ranges", {{"stream", "screen"}, {"n", "0"}, {"t0", 0}, {"t1", 1}}},
             {"/ranges", {{"stream", "screen"}, {"final", false}}},
             {"/close", {{"status", "kept"}}},
             {"/heartbeat", {{"x", 1}}}})
        EXPECT_EQ(post(server, "/recordings/r2" + path, body, token).status, 400) << path << " " << body.dump();
}

// A PUT whose body stops short (the client went away) leaves the stored object as it was.
TEST_F(DevServerTest, AShortBodyNeverReplacesAStoredObject) {
    const std::string url = firstRangeURL(server, token, "r5");
    ASSERT_EQ(server.request("PUT", url, "whole").status, 200);
    // The same URL again, from a client that announces 1000 bytes and gives up after 10.
    testing::runCommand({"curl", "-s", "-m", "1", "-X", "PUT", "-H", "Content-Length: 1000", "--data-binary", "0123456789", url});
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
             "GET /a HTTP/1.1\r\nRange : bytes=0-1\r\n\r\n",           // space before the colon
             "GET /a HTTP/1.1\r\n Range: bytes=0-1\r\n\r\n",           // a folded line
             "GET /a HTTP/1.1\r\nX(y): z\r\n\r\n",
         })
        EXPECT_EQ(devserver::WebGate::rewriteHead(head), "") << head;
}

TEST_F(DevServerTest, FaultsDoWhatTheySay) {
    post(server, "/recordings", registration("r4"), token);
    auto heartbeat = [&] { return post(server, "/recordings/r4/heartbeat", json::object(), token).status; };
    server.setFault({{"route", "heartbeat"}, {"status", 503}, {"times", 2}});
    for (const int status : {503, 503, 200}) EXPECT_EQ(heartbeat(), status);
    server.setFault({{"route", "heartbeat"}, {"status", 500}, {"rate", 0.5}});
    int failures = 0;
    for (int i = 0; i < 200; ++i) failures += heartbeat() == 500;
    EXPECT_GT(failures, 60);
    EXPECT_LT(failures, 140);
    server.clearFaults();
    EXPECT_EQ(heartbeat(), 200);
}

// The check every take's test relies on passes a whole stream and names what is broken.
TEST(DevServerStreamCheck, PassesAWholeStreamAndNamesWhatIsBroken) {
    using namespace fixture;
    const Bytes init = initSegment(90000), a = mediaSegment(0, 400), b = mediaSegment(180000, 400);
    const Bytes range = concat({init, a, b});
    const int64_t at = int64_t(init.size()), length = int64_t(a.size());
    const auto dir = std::filesystem::temp_directory_path() / ("brindlow-check-" + randomUUID());
    std::filesystem::create_directories(dir);
    auto check = [&](const Bytes& stored, int64_t firstEntry) {
        writeFileAtomically(dir / "init.mp4", std::string(init.begin(), init.end()));
        writeFileAtomically(dir / "0.mp4", std::string(stored.begin(), stored.end()));
        writeFileAtomically(dir / "manifest.json", json{{"bytes", range.size()}, {"ranges", 1}}.dump());
        const FragmentIndex index{at, 90000, {{firstEntry, length, 0}, {at + length, length, 180000}}, int64_t(range.size())};
        return devserver::checkStream({"screen", dir, {0}, true, json::parse(index.encoded())});
    };
    const json good = check(range, at);
    EXPECT_TRUE(good["ok"].get<bool>()) << good.dump();
    const json broken = check(Bytes(range.begin(), range.end() - 100), at + 3);
    EXPECT_FALSE(broken["ok"].get<bool>());
    const std::string problems = broken["problems"].dump();
    EXPECT_NE(problems.find("bytes, the manifest says"), std::string::npos) << problems;
    EXPECT_NE(problems.find("does not point at a moof box"), std::string::npos) << problems;
    std::filesystem::remove_all(dir);
}

// A custom token minted from the command line is signed with the data directory's secret.
TEST(DevServerCommandLine, MintsTokens) {
    const auto dir = std::filesystem::temp_directory_path() / ("brindlow-mint-" + randomUUID());
    const auto minted = testing::runCommand({BRINDLOW_DEVSERVER_PATH, "mint-token", "--data-dir", dir.string(), "--uid", "u1"});
    EXPECT_EQ(minted.exitCode, 0);
    const auto secret = readFile(dir / "secret");
    ASSERT_TRUE(secret.has_value());
    std::string token = minted.output;
    token.erase(token.find_last_not_of('\n') + 1);
    EXPECT_TRUE(devserver::TokenSigner(*secret).verify(token, "custom", devserver::unixNow()).has_value());
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace brindlow
