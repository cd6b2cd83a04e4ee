#include "BrindlowAPI.h"

#include <gtest/gtest.h>

#include <functional>

#include "RecorderError.h"
#include "Support/ExpectError.h"
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

// What the backend's shape checks cannot see: which service a request goes to, its time
// limit, and the values it carries or leaves out. (Methods and bearer tokens the devserver
// refuses when wrong.)
TEST_F(BrindlowAPITest, RequestsGoWhereTheyBelongWithTheGivenValues) {
    const AppInfo app{"1.0", "7", "Debian GNU/Linux 12", "dev", "x86_64"};
    struct Case {
        const char* name;
        std::function<void()> send;
        std::string url, body;
        double timeoutSeconds = 30;
    };
    const Case cases[] = {
        {"asset", [&] { api.registerAsset("a1", "f1", "de", 12.5); }, "http://127.0.0.1:9002/v1/assets/a1",
         R"({"type":"multistream","task":"screencast","languageCode":"de","folderId":"f1","folderName":"Screen Recording","durationSeconds":12.5})",
         60},
        {"asset with an unusable length", [&] { api.registerAsset("a1", std::nullopt, std::nullopt, -3); },
         "http://127.0.0.1:9002/v1/assets/a1", R"({"type":"multistream","task":"screencast","folderName":"Screen Recording"})", 60},
        {"folder of a team with an empty root", [&] { api.createFolder({"u", "t1", std::string(), std::nullopt}, "a1"); },
         "http://127.0.0.1:9001/teams/t1/folders", R"({"name":"Screen Recording","assetId":"a1","task":"screencast"})"},
        {"diagnostic", [&] { api.sendDiagnostic(app, {DiagnosticKind::metricKit, "t", JSONValue(nullptr)}); },
         "http://127.0.0.1:9001/desktop/diagnostics",
         R"({"app":{"version":"1.0","build":"7","os":"Debian GNU/Linux 12","env":"dev","arch":"x86_64"},"kind":"metrickit","at":"t","payload":null})",
         60},
        {"cursor log", [&] { api.saveCursorLog("a1", CursorLogBuilder(Size{100, 50}).finish()); }, "http://127.0.0.1:9001/recordings/a1/cursor",
         R"({"log":{"version":1,"display":{"width":100,"height":50},"moves":[],"clicks":[],"shapes":[],"elements":[]}})", 60},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        transport->answers.push_back({200, R"({"urls":[],"initUrl":"http://o/i","manifestUrl":"http://o/m","folderId":"f"})"});
        c.send();
        EXPECT_EQ(last().url, c.url);
        EXPECT_EQ(last().body, c.body);
        EXPECT_EQ(last().timeoutSeconds, c.timeoutSeconds);
        EXPECT_EQ(header(last(), "Content-Type"), "application/json");
    }
}

// Strict about what is there, but a key it does not know is no error. (Good batches, and
// empty ones, the range uploader tests decode.)
TEST_F(BrindlowAPITest, SigningDecodesTheBatchStrictly) {
    transport->answers.push_back({200, R"({"urls":["http://o/1"],"initUrl":"http://o/i","manifestUrl":"http://o/m","x":1})"});
    EXPECT_NO_THROW(api.signRangeURLs("a1", StreamKey::screen, 25, 1));
    for (const char* bad : {R"({"urls":[],"initUrl":"http://o/i"})", R"({"urls":["not a url"],"initUrl":"http://o/i","manifestUrl":"http://o/m"})",
                            R"({"urls":[],"initUrl":"ftp://o/i","manifestUrl":"http://o/m"})"}) {
        transport->answers.push_back({200, bad});
        EXPECT_THROW(api.signRangeURLs("a1", StreamKey::screen, 0, 1), nlohmann::json::exception) << bad;
    }
}

// Failures keep the server's whole text; their description keeps 200 characters of it.
TEST_F(BrindlowAPITest, ErrorsAreTypedAndTextIsKept) {
    std::string wide;
    for (int i = 0; i < 250; ++i) wide += "\xC3\xA9";  // é
    const std::tuple<HTTPResponse, std::string, std::string> cases[] = {  // answer, kept body, description
        {{500, wide}, wide, "HTTP 500: " + wide.substr(0, 400)},
        {{502, "bad \xFF gateway"}, "bad \xEF\xBF\xBD gateway", "HTTP 502: bad \xEF\xBF\xBD gateway"},
    };
    for (const auto& [answer, body, description] : cases) {
        transport->answers.push_back(answer);
        const auto error = testing::errorFrom<HTTPError>([&] { api.heartbeat("a1"); });
        ASSERT_TRUE(error) << description;
        EXPECT_EQ(error->status(), answer.status);
        EXPECT_EQ(error->body(), body);
        EXPECT_EQ(error->what(), description);
    }
    // 2xx with an empty body is success for operations without a result.
    transport->answers.push_back({204, ""});
    EXPECT_NO_THROW(api.heartbeat("a1"));
    transport->answers.push_back({200, R"({"id":"f3"})"});
    EXPECT_THROW(api.createFolder({"u", "t1", std::nullopt, std::nullopt}, "a1"), nlohmann::json::exception);
}

// The user document is read with a field mask, so the rest of it never leaves the server.
TEST_F(BrindlowAPITest, UserDocumentReadCarriesTheMask) {
    transport->answers.push_back(
        {200, R"({"name":"x","fields":{"team":{"mapValue":{"fields":{"id":{"stringValue":"t1"}}}},"languageCode":{"stringValue":"de"}},"createTime":"y"})"});
    EXPECT_EQ(api.fetchUser("uid_1"), (RecorderUser{"uid_1", "t1", std::nullopt, "de"}));
    EXPECT_EQ(last().method + " " + last().url,
              "GET http://127.0.0.1:9003/v1/projects/brindlow-dev/databases/(default)/documents/users/uid_1"
              "?mask.fieldPaths=team&mask.fieldPaths=languageCode");
}

TEST_F(BrindlowAPITest, NothingIsSentSignedOutOrForAnUnusableUserID) {
    for (const char* uid : {"", "a/b", "a?b", "a b", "..", "a#b", "ü"}) EXPECT_THROW(api.fetchUser(uid), InvalidUserIDError) << uid;
    tokens->signedIn = false;
    EXPECT_THROW(api.heartbeat("a1"), RecorderError);
    EXPECT_TRUE(transport->requests.empty());
}

TEST(UserDocument, TeamAndLanguage) {
    auto parse = [](const char* doc) { return BrindlowAPI::parseUser("u", doc); };
    const auto noTeam = RecorderError::uploadFailed("your account has no team");
    EXPECT_EQ(parse(R"({"fields":{"team":{"mapValue":{"fields":{"id":{"stringValue":"t1"},"root":{"stringValue":""}}}}}})").teamRoot,
              std::nullopt);
    const auto nested = parse(R"({"fields":{"team":{"mapValue":{"fields":{"id":{"stringValue":"t1"},"root":{"stringValue":"r9"}}}}}})");
    EXPECT_EQ(nested.teamPrefix(), "teams/r9/teams/t1");
    EXPECT_EQ(parse(R"({"fields":{"team":{"mapValue":{"fields":{"id":{"stringValue":"t"}}}},"languageCode":{"integerValue":"3"}}})").languageCode,
              std::nullopt);
    for (const char* doc : {R"({"fields":{"team":{"stringValue":"t1"}}})", R"({"fields":{"team":{"mapValue":{"fields":{"id":{"integerValue":"5"}}}}}})", R"({})"}) {
        EXPECT_EQ(testing::errorFrom<RecorderError>([&] { parse(doc); }), noTeam) << doc;
    }
    EXPECT_THROW(parse("not json"), nlohmann::json::exception);
}

TEST(Environment, BundleSelectsOrStops) {
    EXPECT_EQ(RecorderEnvironment::bundleError({{"BrindlowEnvironment", "dev"}}), std::nullopt);
    EXPECT_EQ(RecorderEnvironment::fromBundle({{"BrindlowEnvironment", "prod"}}), RecorderEnvironment::prod());
    for (const auto& bundle : {nlohmann::json{{"BrindlowEnvironment", "Dev"}}, nlohmann::json{{"BrindlowEnvironment", 1}}})
        EXPECT_NE(RecorderEnvironment::bundleError(bundle), std::nullopt) << bundle;
}

TEST(Environment, OnlyDevTakesAStandIn) {
    EXPECT_THROW(RecorderEnvironment::prod().withStandIn({1, 2, 3, 4}), std::logic_error);
    const auto local = RecorderEnvironment::dev().withStandIn({1000, 1001, 1002, 1003});
    EXPECT_EQ(local.recordingURL("abc"), "http://127.0.0.1:1000/screen-recorder/view/abc");
    EXPECT_EQ(StandInPorts::parse("47800")->google, 47803);
    EXPECT_EQ(StandInPorts::parse("1,2,3,4")->legacy, 3);
    for (const char* bad : {"1,2", "99999", "", "12a"}) EXPECT_EQ(StandInPorts::parse(bad), std::nullopt) << bad;
}

TEST(URLs, JoinWithOneSlashAndEncode) {
    EXPECT_EQ(appendingPath("https://x/v1/", "assets/a"), "https://x/v1/assets/a");
    EXPECT_EQ(appendingPath("https://x/v1", "/assets/a"), "https://x/v1/assets/a");
    EXPECT_EQ(appendingPath("https://x", "a b/c"), "https://x/a%20b/c");
    EXPECT_EQ(URL::parse("http://127.0.0.1:80/a?b=c").value().port, 80);
    for (const char* bad : {"x", "ftp://a/b", "http://", "http://a b/", "http://h:99999/", "http://u@h/", "http://h:/"})
        EXPECT_EQ(URL::parse(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace brindlow
