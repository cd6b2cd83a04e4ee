#include "BrindlowAPI.h"

#include <gtest/gtest.h>

#include <deque>

#include "RecorderError.h"
#include "Support/Concurrency.h"
#include "Support/ScriptedTransport.h"
#include "Support/URL.h"

namespace brindlow {
namespace {

using FakeTransport = testing::ScriptedTransport;  // 200 {} once the script is used up

class FakeTokens : public IDTokenProvider {
public:
    std::string idToken(std::stop_token) override {
        if (!signedIn) throw RecorderError::notSignedIn();
        return "tok";
    }
    bool signedIn = true;
};

std::string header(const HTTPRequest& r, const std::string& name) {
    for (const auto& [k, v] : r.headers)
        if (k == name) return v;
    return "<none>";
}

class BrindlowAPITest : public ::testing::Test {
protected:
    std::shared_ptr<FakeTransport> transport = std::make_shared<FakeTransport>();
    std::shared_ptr<FakeTokens> tokens = std::make_shared<FakeTokens>();
    RecorderEnvironment env = RecorderEnvironment::dev().withStandIn({9000, 9001, 9002, 9003});
    BrindlowAPI api{env, HTTPClient(transport, tokens)};

    const HTTPRequest& last() { return transport->requests.back(); }
};

TEST_F(BrindlowAPITest, RegisterSendsExactlyTheGivenKeys) {
    api.registerRecording("a1", {{StreamKey::screen, "video/mp4", 1920, 1080}}, std::nullopt);
    EXPECT_EQ(last().url, "http://127.0.0.1:9001/recordings");
    EXPECT_EQ(last().method, "POST");
    EXPECT_EQ(last().timeoutSeconds, 30);
    EXPECT_EQ(last().body,
              R"({"id":"a1","type":"multistream","uploadStyle":"ranges","streams":[{"key":"screen","mimeType":"video/mp4","width":1920,"height":1080}]})");
    EXPECT_EQ(header(last(), "Authorization"), "Bearer tok");
    EXPECT_EQ(header(last(), "Accept"), "application/json");
    EXPECT_EQ(header(last(), "Content-Type"), "application/json");
    api.registerRecording("a1", {}, "de");
    EXPECT_EQ(last().body, R"({"id":"a1","type":"multistream","uploadStyle":"ranges","streams":[],"languageCode":"de"})");
}

TEST_F(BrindlowAPITest, NoticeBodiesAndPaths) {
    api.heartbeat("a1");
    EXPECT_EQ(last().url, "http://127.0.0.1:9001/recordings/a1/heartbeat");
    EXPECT_EQ(last().body, "{}");
    EXPECT_EQ(header(last(), "Content-Type"), "application/json");
    api.notifyRange("a1", StreamKey::camera, 3, 0, 16.5);
    EXPECT_EQ(last().body, R"({"stream":"camera","n":3,"t0":0.0,"t1":16.5})");
    const std::string rangesURL = last().url;
    api.notifyRangesFinal("a1", StreamKey::camera);
    EXPECT_EQ(last().url, rangesURL);
    EXPECT_EQ(last().body, R"({"stream":"camera","final":true})");
    api.sendIndex("a1", StreamKey::screen, FragmentIndex{10, 90000, {{10, 5, 0}}, 15});
    EXPECT_EQ(last().url, "http://127.0.0.1:9001/recordings/a1/index");
    EXPECT_EQ(last().body,
              R"({"stream":"screen","index":{"initLength":10,"timescale":90000,"entries":[{"offset":10,"length":5,"decodeTime":0}],"totalBytes":15}})");
    api.close("a1", CloseStatus::discarded, std::nullopt);
    EXPECT_EQ(last().body, R"({"status":"discarded"})");
    api.close("a1", CloseStatus::saved, "f9");
    EXPECT_EQ(last().body, R"({"status":"saved","folderId":"f9"})");
}

TEST_F(BrindlowAPITest, SigningDecodesTheBatchStrictly) {
    transport->answers.push_back({200, R"({"urls":["http://o/1","http://o/2"],"initUrl":"http://o/i","manifestUrl":"http://o/m","x":1})"});
    const auto batch = api.signRangeURLs("a1", StreamKey::screen, 25, 2);
    EXPECT_EQ(last().url, "http://127.0.0.1:9002/v1/assets/a1/upload/range-urls");
    EXPECT_EQ(last().body, R"({"stream":"screen","from":25,"count":2})");
    EXPECT_EQ(batch.urls.size(), 2u);
    EXPECT_EQ(batch.manifestUrl, "http://o/m");

    for (const char* bad : {R"({"urls":[],"initUrl":"http://o/i"})", R"({"initUrl":"http://o/i","manifestUrl":"http://o/m"})",
                            R"({"urls":["not a url"],"initUrl":"http://o/i","manifestUrl":"http://o/m"})",
                            R"({"urls":[],"initUrl":"ftp://o/i","manifestUrl":"http://o/m"})", "[]"}) {
        transport->answers.push_back({200, bad});
        EXPECT_THROW(api.signRangeURLs("a1", StreamKey::screen, 0, 1), nlohmann::json::exception) << bad;
    }
    transport->answers.push_back({200, R"({"urls":[],"initUrl":"http://o/i","manifestUrl":"http://o/m"})"});
    EXPECT_TRUE(api.signRangeURLs("a1", StreamKey::screen, 0, 0).urls.empty());
}

TEST_F(BrindlowAPITest, FolderGoesUnderTheTeamPrefix) {
    transport->answers.push_back({200, R"({"folderId":"f1","other":true})"});
    EXPECT_EQ(api.createFolder({"u", "t1", "acme", std::nullopt}, "a1"), "f1");
    EXPECT_EQ(last().url, "http://127.0.0.1:9001/teams/acme/teams/t1/folders");
    EXPECT_EQ(last().body, R"({"name":"Screen Recording","assetId":"a1","task":"screencast"})");
    transport->answers.push_back({200, R"({"folderId":"f2"})"});
    api.createFolder({"u", "t1", std::string(), std::nullopt}, "a1");
    EXPECT_EQ(last().url, "http://127.0.0.1:9001/teams/t1/folders");
    transport->answers.push_back({200, R"({"id":"f3"})"});
    EXPECT_THROW(api.createFolder({"u", "t1", std::nullopt, std::nullopt}, "a1"), nlohmann::json::exception);
}

TEST_F(BrindlowAPITest, AssetLeavesOutWhatIsAbsent) {
    api.registerAsset("a1", std::nullopt, std::nullopt, 0);
    EXPECT_EQ(last().url, "http://127.0.0.1:9002/v1/assets/a1");
    EXPECT_EQ(last().timeoutSeconds, 60);
    EXPECT_EQ(last().body, R"({"type":"multistream","task":"screencast","folderName":"Screen Recording"})");
    api.registerAsset("a1", "f1", "de", 12.5);
    EXPECT_EQ(last().body,
              R"({"type":"multistream","task":"screencast","languageCode":"de","folderId":"f1","folderName":"Screen Recording","durationSeconds":12.5})");
    api.registerAsset("a1", std::nullopt, std::nullopt, std::nan(""));
    EXPECT_EQ(last().body.find("durationSeconds"), std::string::npos);
    api.registerAsset("a1", std::nullopt, std::nullopt, -3);
    EXPECT_EQ(last().body.find("durationSeconds"), std::string::npos);
}

TEST_F(BrindlowAPITest, ReportsAndCursorLog) {
    CursorLogBuilder builder(Size{100, 50});
    builder.move(0, 0.5, 0.5);
    api.saveCursorLog("a1", builder.finish());
    EXPECT_EQ(last().url, "http://127.0.0.1:9001/recordings/a1/cursor");
    EXPECT_EQ(last().timeoutSeconds, 60);
    EXPECT_EQ(nlohmann::json::parse(last().body)["log"]["moves"][0][1], 0.5);
    const AppInfo app{"1.0", "7", "Debian GNU/Linux 12", "dev", "x86_64"};
    api.sendEvents(app, {TelemetryRecord::make(TelemetryEvent::appLaunched, "2026-01-01T00:00:00.000Z", std::nullopt, {})});
    EXPECT_EQ(last().url, "http://127.0.0.1:9001/desktop/events");
    EXPECT_EQ(last().body,
              R"({"app":{"version":"1.0","build":"7","os":"Debian GNU/Linux 12","env":"dev","arch":"x86_64"},"events":[{"name":"app_launched","at":"2026-01-01T00:00:00.000Z"}]})");
    api.sendDiagnostic(app, {DiagnosticKind::metricKit, "t", JSONValue(nullptr)});
    EXPECT_EQ(last().url, "http://127.0.0.1:9001/desktop/diagnostics");
    EXPECT_EQ(last().timeoutSeconds, 60);
    EXPECT_EQ(nlohmann::json::parse(last().body)["kind"], "metrickit");
}

TEST_F(BrindlowAPITest, ErrorsAreTypedAndTextIsKept) {
    transport->answers.push_back({404, "no such recording"});
    try {
        api.heartbeat("a1");
        FAIL();
    } catch (const HTTPError& e) {
        EXPECT_EQ(e.status(), 404);
        EXPECT_EQ(e.body(), "no such recording");
        EXPECT_STREQ(e.what(), "HTTP 404: no such recording");
    }
    const std::string page = "<html>" + std::string(987, 'x') + "</html>";  // 1000 characters
    transport->answers.push_back({500, page});
    try {
        api.heartbeat("a1");
        FAIL();
    } catch (const HTTPError& e) {
        EXPECT_EQ(e.body().size(), 1000u);
        EXPECT_EQ(std::string(e.what()), "HTTP 500: " + page.substr(0, 200));
    }
    transport->answers.push_back({502, "bad \xFF gateway"});
    try {
        api.heartbeat("a1");
        FAIL();
    } catch (const HTTPError& e) {
        EXPECT_EQ(e.body(), "bad \xEF\xBF\xBD gateway");
    }
    // 2xx with an empty body is success for operations without a result.
    transport->answers.push_back({204, ""});
    EXPECT_NO_THROW(api.heartbeat("a1"));
}

TEST_F(BrindlowAPITest, DescriptionCountsCharactersNotBytes) {
    const std::string body(300, 'a');
    std::string wide;
    for (int i = 0; i < 250; ++i) wide += "\xC3\xA9";  // é
    EXPECT_EQ(std::string(HTTPError(500, wide).what()).size(), std::string("HTTP 500: ").size() + 400);
    EXPECT_EQ(std::string(HTTPError(500, "").what()), "HTTP 500: ");
}

TEST_F(BrindlowAPITest, SignedOutSendsNothing) {
    tokens->signedIn = false;
    EXPECT_THROW(api.heartbeat("a1"), RecorderError);
    EXPECT_TRUE(transport->requests.empty());
}

TEST_F(BrindlowAPITest, UserDocumentReadCarriesTheMaskAndToken) {
    transport->answers.push_back(
        {200, R"({"name":"x","fields":{"team":{"mapValue":{"fields":{"id":{"stringValue":"t1"}}}},"languageCode":{"stringValue":"de"}},"createTime":"y"})"});
    const RecorderUser user = api.fetchUser("uid_1");
    EXPECT_EQ(user, (RecorderUser{"uid_1", "t1", std::nullopt, "de"}));
    EXPECT_EQ(last().method, "GET");
    EXPECT_EQ(last().url,
              "http://127.0.0.1:9003/v1/projects/brindlow-dev/databases/(default)/documents/users/uid_1"
              "?mask.fieldPaths=team&mask.fieldPaths=languageCode");
    EXPECT_EQ(header(last(), "Authorization"), "Bearer tok");
    EXPECT_EQ(header(last(), "Content-Type"), "<none>");
    EXPECT_TRUE(last().body.empty());
}

TEST_F(BrindlowAPITest, UnusableUserIDsAreRefusedBeforeSending) {
    for (const char* uid : {"", "a/b", "a?b", "a b", "..", "a#b", "ü"}) {
        EXPECT_THROW(api.fetchUser(uid), InvalidUserIDError) << uid;
    }
    EXPECT_TRUE(transport->requests.empty());
}

TEST(UserDocument, TeamAndLanguage) {
    auto parse = [](const char* doc) { return BrindlowAPI::parseUser("u", doc); };
    const auto noTeam = RecorderError::uploadFailed("your account has no team");
    EXPECT_EQ(parse(R"({"fields":{"team":{"mapValue":{"fields":{"id":{"stringValue":"t1"},"root":{"stringValue":""}}}}}})").teamRoot,
              std::nullopt);
    const auto nested = parse(R"({"fields":{"team":{"mapValue":{"fields":{"id":{"stringValue":"t1"},"root":{"stringValue":"r9"}}}}}})");
    EXPECT_EQ(nested.teamRoot, "r9");
    EXPECT_EQ(nested.teamPrefix(), "teams/r9/teams/t1");
    EXPECT_EQ(parse(R"({"fields":{"team":{"mapValue":{"fields":{"id":{"stringValue":""}}}},"languageCode":{"stringValue":""}}})").languageCode, "");
    EXPECT_EQ(parse(R"({"fields":{"team":{"mapValue":{"fields":{"id":{"stringValue":"t"}}}},"languageCode":{"integerValue":"3"}}})").languageCode,
              std::nullopt);
    for (const char* doc : {R"({"fields":{"team":{"stringValue":"t1"}}})", R"({"fields":{"team":{"mapValue":{"fields":{"id":{"integerValue":"5"}}}}}})",
                            R"({"fields":{}})", R"({})", R"({"fields":{"team":{"mapValue":{}}}})"}) {
        try {
            parse(doc);
            FAIL() << doc;
        } catch (const RecorderError& e) {
            EXPECT_EQ(e, noTeam) << doc;
        }
    }
    EXPECT_THROW(parse("not json"), nlohmann::json::exception);
    EXPECT_THROW(parse("[1]"), nlohmann::json::exception);
}

TEST(Environment, BundleSelectsOrStopsWithTheExactMessage) {
    EXPECT_EQ(RecorderEnvironment::bundleError({{"BrindlowEnvironment", "dev"}}), std::nullopt);
    EXPECT_EQ(RecorderEnvironment::fromBundle({{"BrindlowEnvironment", "prod"}}), RecorderEnvironment::prod());
    EXPECT_EQ(RecorderEnvironment::fromBundle({{"BrindlowEnvironment", "dev"}}).name, "dev");
    EXPECT_EQ(RecorderEnvironment::bundleError({{"BrindlowEnvironment", "Dev"}}),
              "BrindlowEnvironment must be 'dev' or 'prod' in Info.plist, got Dev");
    EXPECT_EQ(RecorderEnvironment::bundleError({{"BrindlowEnvironment", " prod"}}),
              "BrindlowEnvironment must be 'dev' or 'prod' in Info.plist, got  prod");
    EXPECT_EQ(RecorderEnvironment::bundleError({{"BrindlowEnvironment", 1}}),
              "BrindlowEnvironment must be 'dev' or 'prod' in Info.plist, got nothing");
    EXPECT_EQ(RecorderEnvironment::bundleError(nlohmann::json::object()),
              "BrindlowEnvironment must be 'dev' or 'prod' in Info.plist, got nothing");
}

TEST(Environment, OnlyDevTakesAStandIn) {
    EXPECT_THROW(RecorderEnvironment::prod().withStandIn({1, 2, 3, 4}), std::logic_error);
    const auto local = RecorderEnvironment::dev().withStandIn({1000, 1001, 1002, 1003});
    EXPECT_EQ(local.legacyAPI, "http://127.0.0.1:1002/v1/");
    EXPECT_EQ(local.monolithAPI, "http://127.0.0.1:1001/");
    EXPECT_EQ(local.recordingURL("abc"), "http://127.0.0.1:1000/screen-recorder/view/abc");
    EXPECT_FALSE(local == RecorderEnvironment::dev());
    EXPECT_EQ(StandInPorts::parse("47800")->google, 47803);
    EXPECT_EQ(StandInPorts::parse("1,2,3,4")->legacy, 3);
    EXPECT_EQ(StandInPorts::parse("1,2"), std::nullopt);
    EXPECT_EQ(StandInPorts::parse("99999"), std::nullopt);
    EXPECT_EQ(StandInPorts::parse(""), std::nullopt);
    EXPECT_EQ(StandInPorts::parse("12a"), std::nullopt);
}

TEST(URLs, JoinWithOneSlashAndEncode) {
    EXPECT_EQ(appendingPath("https://x/v1/", "assets/a"), "https://x/v1/assets/a");
    EXPECT_EQ(appendingPath("https://x/v1", "/assets/a"), "https://x/v1/assets/a");
    EXPECT_EQ(appendingPath("https://x", "a b/c"), "https://x/a%20b/c");
    EXPECT_EQ(RecorderEnvironment::prod().recordingURL("abc"), RecorderEnvironment::prod().webApp + "/screen-recorder/view/abc");
    EXPECT_TRUE(URL::parse("http://127.0.0.1:80/a?b=c").has_value());
    EXPECT_EQ(URL::parse("http://127.0.0.1:80/a?b=c")->port, 80);
    for (const char* bad : {"", "x", "ftp://a/b", "http://", "http://a b/", "http://h:0/", "http://h:99999/",
                            "http://u@h/", "http://h/a b", "http://h:/"}) {
        EXPECT_EQ(URL::parse(bad), std::nullopt) << bad;
    }
}

}  // namespace
}  // namespace brindlow
