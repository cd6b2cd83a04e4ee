#include "AuthService.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <utility>

#include "RecorderError.h"
#include "Support/ScriptedTransport.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

using json = nlohmann::json;

std::string tokenWith(const json& payload) {
    return "h." + base64Encode(payload.dump(), Base64Alphabet::urlSafe, false) + ".s";
}

class MemoryStore : public TokenStore {
public:
    std::optional<StoredSession> load() override { return stored; }
    void save(const StoredSession& s) override {
        stored = s;
        ++saves;
    }
    void clear() override { stored.reset(); }
    std::optional<StoredSession> stored;
    int saves = 0;
};

// Token requests nobody scripted fail as the services would.
class ScriptedTokens : public testing::ScriptedTransport {
public:
    ScriptedTokens() { fallback = {500, "no answer scripted"}; }
};

class AuthServiceTest : public ::testing::Test {
protected:
    std::unique_ptr<AuthService> make() {
        return std::make_unique<AuthService>(env, transport, store, [this] { return now; });
    }
    static HTTPResponse signInAnswer(const std::string& expiresIn, const std::string& uid = "u1") {
        return {200, json{{"idToken", tokenWith({{"user_id", uid}})}, {"refreshToken", "r1"}, {"expiresIn", expiresIn}}.dump()};
    }
    static HTTPResponse refreshAnswer(const std::string& expiresIn, const std::string& refresh = "r1") {
        return {200, json{{"id_token", tokenWith({{"user_id", "u1"}, {"n", 2}})}, {"refresh_token", refresh}, {"expires_in", expiresIn}}.dump()};
    }

    RecorderEnvironment env = RecorderEnvironment::dev().withStandIn({1, 2, 3, 4});
    std::shared_ptr<ScriptedTokens> transport = std::make_shared<ScriptedTokens>();
    std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>();
    double now = 1000;
};

TEST_F(AuthServiceTest, SignInStoresTheSessionAndSendsTheExactRequest) {
    auto auth = make();
    EXPECT_FALSE(auth->isSignedIn());
    transport->answers.push_back(signInAnswer("3600"));
    auth->signIn("custom");
    EXPECT_EQ(auth->uid(), "u1");
    EXPECT_EQ(store->stored, (StoredSession{"u1", "r1"}));
    const auto& r = transport->requests[0];
    EXPECT_EQ(r.url, "http://127.0.0.1:4/v1/accounts:signInWithCustomToken?key=" + env.firebaseAPIKey);
    EXPECT_EQ(r.body, R"({"token":"custom","returnSecureToken":true})");
    EXPECT_EQ(r.timeoutSeconds, 60);
    for (const auto& [k, v] : r.headers) EXPECT_NE(k, "Authorization");
}

TEST_F(AuthServiceTest, TokenIsServedUntilFiveMinutesBeforeExpiry) {
    auto auth = make();
    transport->answers.push_back(signInAnswer("3600"));
    auth->signIn("custom");
    const std::string first = auth->idToken();
    now += 3299;
    EXPECT_EQ(auth->idToken(), first);
    EXPECT_EQ(transport->requests.size(), 1u);
    now += 2;  // 3301 s: inside the last five minutes
    transport->answers.push_back(refreshAnswer("3600"));
    EXPECT_NE(auth->idToken(), first);
    ASSERT_EQ(transport->requests.size(), 2u);
    EXPECT_EQ(transport->requests[1].url, "http://127.0.0.1:4/v1/token?key=" + env.firebaseAPIKey);
    EXPECT_EQ(transport->requests[1].body, "grant_type=refresh_token&refresh_token=r1");
    EXPECT_EQ(store->saves, 1);  // the same refresh token is not written again
}

TEST_F(AuthServiceTest, ShortLivedTokensRefreshEveryCall) {
    auto auth = make();
    transport->answers.push_back(signInAnswer("200"));
    auth->signIn("custom");
    for (int i = 0; i < 3; ++i) {
        transport->answers.push_back(refreshAnswer("200", "r" + std::to_string(i + 2)));
        auth->idToken();
    }
    EXPECT_EQ(transport->requests.size(), 4u);
    EXPECT_EQ(store->stored->refreshToken, "r4");  // rotated tokens are stored
    EXPECT_EQ(store->saves, 4);
}

TEST_F(AuthServiceTest, UnreadableLifetimeMeansAnHour) {
    EXPECT_EQ(AuthService::lifetime("abc"), 3600);
    EXPECT_EQ(AuthService::lifetime(""), 3600);
    EXPECT_EQ(AuthService::lifetime(" 60"), 3600);
    EXPECT_EQ(AuthService::lifetime("60s"), 3600);
    EXPECT_EQ(AuthService::lifetime("nan"), 3600);
    EXPECT_EQ(AuthService::lifetime("12.5"), 12.5);
    auto auth = make();
    transport->answers.push_back(signInAnswer("abc"));
    auth->signIn("custom");
    now += 3299;
    auth->idToken();
    EXPECT_EQ(transport->requests.size(), 1u);
}

TEST_F(AuthServiceTest, RefusedRefreshSignsOutButServerTroubleKeepsTheSession) {
    store->stored = StoredSession{"u1", "r1"};
    auto auth = make();
    EXPECT_TRUE(auth->isSignedIn());
    transport->answers.push_back({503, "down"});
    EXPECT_THROW(auth->idToken(), HTTPError);
    EXPECT_TRUE(auth->isSignedIn());
    transport->answers.push_back({200, "not json"});
    EXPECT_THROW(auth->idToken(), nlohmann::json::exception);
    EXPECT_TRUE(auth->isSignedIn());
    transport->answers.push_back({400, R"({"error":{"message":"TOKEN_EXPIRED"}})"});
    try {
        auth->idToken();
        FAIL();
    } catch (const RecorderError& e) {
        EXPECT_EQ(e, RecorderError::notSignedIn());
    }
    EXPECT_FALSE(auth->isSignedIn());
    EXPECT_EQ(store->stored, std::nullopt);
    const size_t sent = transport->requests.size();
    EXPECT_THROW(auth->idToken(), RecorderError);
    EXPECT_EQ(transport->requests.size(), sent);  // signed out: nothing sent
}

// A transport that runs `during` once, while the first refresh request is in flight.
class InterruptedRefresh : public ScriptedTokens {
public:
    HTTPResponse perform(const HTTPRequest& request, std::stop_token stop) override {
        if (during && request.url.find("/v1/token?") != std::string::npos) std::exchange(during, nullptr)();
        return ScriptedTokens::perform(request, stop);
    }
    std::function<void()> during;
};

// A refresh that finishes after another account signed in must not put the earlier
// account back, in memory or in the store, nor sign the new one out.
TEST_F(AuthServiceTest, LateRefreshNeverReplacesANewerSignIn) {
    for (const HTTPResponse& late : {refreshAnswer("3600", "r-rotated"), HTTPResponse{400, "TOKEN_EXPIRED"}}) {
        auto interrupted = std::make_shared<InterruptedRefresh>();
        store->stored = StoredSession{"u1", "r1"};
        auto auth = std::make_unique<AuthService>(env, interrupted, store, [this] { return now; });
        const HTTPResponse second = {200, json{{"idToken", tokenWith({{"user_id", "u2"}})}, {"refreshToken", "r-u2"},
                                               {"expiresIn", "3600"}}.dump()};
        interrupted->answers = {second, late};
        interrupted->during = [&] { auth->signIn("custom-u2"); };
        EXPECT_EQ(AuthService::uidFromIDToken(auth->idToken()), "u2") << late.body;
        EXPECT_EQ(auth->uid(), "u2") << late.body;
        EXPECT_EQ(store->stored, (StoredSession{"u2", "r-u2"})) << late.body;
    }
}

TEST_F(AuthServiceTest, SignInWithoutAReadableUserStoresNothing) {
    auto auth = make();
    transport->answers.push_back({200, json{{"idToken", tokenWith({{"user_id", 5}})}, {"refreshToken", "r"}, {"expiresIn", "3600"}}.dump()});
    EXPECT_THROW(auth->signIn("custom"), RecorderError);
    EXPECT_FALSE(auth->isSignedIn());
    EXPECT_EQ(store->saves, 0);
    transport->answers.push_back({400, "INVALID_CUSTOM_TOKEN"});
    EXPECT_THROW(auth->signIn("custom"), HTTPError);
    EXPECT_FALSE(auth->isSignedIn());
}

TEST(AuthServiceTokens, UserIDFromThePayload) {
    EXPECT_EQ(AuthService::uidFromIDToken(tokenWith({{"user_id", "a"}, {"sub", "b"}})), "a");
    EXPECT_EQ(AuthService::uidFromIDToken(tokenWith({{"sub", "b"}})), "b");
    EXPECT_EQ(AuthService::uidFromIDToken(tokenWith({{"user_id", 5}})), std::nullopt);
    EXPECT_EQ(AuthService::uidFromIDToken(tokenWith({{"user_id", 5}, {"sub", "b"}})), "b");
    const std::string payload = base64Encode(json{{"sub", "c"}}.dump(), Base64Alphabet::urlSafe, false);
    EXPECT_EQ(AuthService::uidFromIDToken("a.." + payload + ".c"), "c");  // empty piece dropped
    EXPECT_EQ(AuthService::uidFromIDToken("a." + payload), std::nullopt);
    EXPECT_EQ(AuthService::uidFromIDToken("a." + payload + ".c.d"), std::nullopt);
    EXPECT_EQ(AuthService::uidFromIDToken("a.!!!.c"), std::nullopt);
    EXPECT_EQ(AuthService::uidFromIDToken("a." + base64Encode(std::string_view("[1]"), Base64Alphabet::urlSafe, false) + ".c"),
              std::nullopt);
}

TEST(StoredSessions, CorruptItemsLoadAsNothing) {
    EXPECT_EQ(StoredSession::decode(R"({"uid":"u","refreshToken":"r"})"), (StoredSession{"u", "r"}));
    for (const char* bad : {"", "{", "[]", R"({"uid":"u"})", R"({"uid":1,"refreshToken":"r"})"})
        EXPECT_EQ(StoredSession::decode(bad), std::nullopt) << bad;
    EXPECT_EQ(StoredSession::decode(StoredSession{"u\"x", "r"}.encoded()), (StoredSession{"u\"x", "r"}));
}

}  // namespace
}  // namespace brindlow
