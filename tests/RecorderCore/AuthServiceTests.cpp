#include "AuthService.h"

#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "RecorderError.h"
#include "Support/ExpectError.h"
#include "Support/MemoryTokenStore.h"
#include "Support/ScriptedTransport.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

using json = nlohmann::json;

std::string tokenWith(const json& payload) {
    return "h." + base64Encode(payload.dump(), Base64Alphabet::urlSafe, false) + ".s";
}

// Token services that fail requests nobody scripted, as the real ones would; `during` runs
// once, while the first refresh request is in flight.
class TokenServices : public testing::ScriptedTransport {
public:
    TokenServices() { fallback = {500, "no answer scripted"}; }
    HTTPResponse perform(const HTTPRequest& request, std::stop_token stop) override {
        if (during && request.url.find("/v1/token?") != std::string::npos) std::exchange(during, nullptr)();
        return ScriptedTransport::perform(request, stop);
    }
    std::function<void()> during;
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
    std::shared_ptr<TokenServices> transport = std::make_shared<TokenServices>();
    std::shared_ptr<testing::MemoryTokenStore> store = std::make_shared<testing::MemoryTokenStore>();
    double now = 1000;
};

// A token is served from memory until five minutes before it expires (an hour when the
// lifetime cannot be read); a refresh stores the refresh token only when it was rotated.
TEST_F(AuthServiceTest, TokenIsServedUntilFiveMinutesBeforeExpiry) {
    for (const auto& [expiresIn, servedFor] : std::initializer_list<std::pair<std::string, double>>{
             {"3600", 3300}, {"312.5", 12.5}, {"abc", 3300}, {"", 3300}, {" 60", 3300}, {"60s", 3300}, {"nan", 3300}}) {
        SCOPED_TRACE(expiresIn);
        now = 1000;
        transport->requests.clear();
        auto auth = make();
        transport->answers.push_back(signInAnswer(expiresIn));
        auth->signIn("custom");
        EXPECT_EQ(auth->uid(), "u1");
        EXPECT_EQ(store->load(), (StoredSession{"u1", "r1"}));
        for (const auto& [k, v] : transport->requests.at(0).headers) EXPECT_NE(k, "Authorization");
        const std::string first = auth->idToken();
        now += servedFor - 1;
        EXPECT_EQ(auth->idToken(), first);
        EXPECT_EQ(transport->requests.size(), 1u);
        now += 2;
        transport->answers.push_back(refreshAnswer("3600", "r2"));
        EXPECT_NE(auth->idToken(), first);
        ASSERT_EQ(transport->requests.size(), 2u);
        EXPECT_EQ(transport->requests[1].body, "grant_type=refresh_token&refresh_token=r1");
        EXPECT_EQ(store->load(), (StoredSession{"u1", "r2"}));
        const int saves = store->saves();
        now += 3600;
        transport->answers.push_back(refreshAnswer("3600", "r2"));
        auth->idToken();
        EXPECT_EQ(transport->requests.size(), 3u);
        EXPECT_EQ(store->saves(), saves) << "an unchanged refresh token was saved again";
    }
}

// A refusal signs out; a server in trouble or an unreadable answer keeps the session.
TEST_F(AuthServiceTest, RefusedRefreshSignsOutButServerTroubleKeepsTheSession) {
    store->save(StoredSession{"u1", "r1"});
    auto auth = make();
    EXPECT_TRUE(auth->isSignedIn());
    transport->answers.push_back({503, "down"});
    EXPECT_THROW(auth->idToken(), HTTPError);
    transport->answers.push_back({200, "not json"});
    EXPECT_THROW(auth->idToken(), nlohmann::json::exception);
    EXPECT_TRUE(auth->isSignedIn());
    transport->answers.push_back({400, R"({"error":{"message":"TOKEN_EXPIRED"}})"});
    EXPECT_EQ(testing::errorFrom<RecorderError>([&] { auth->idToken(); }), RecorderError::notSignedIn());
    EXPECT_FALSE(auth->isSignedIn());
    EXPECT_EQ(store->load(), std::nullopt);
    const size_t sent = transport->requests.size();
    EXPECT_THROW(auth->idToken(), RecorderError);
    EXPECT_EQ(transport->requests.size(), sent);  // signed out: nothing sent
}

// A refresh that finishes after another account signed in must not put the earlier
// account back, in memory or in the store, nor sign the new one out.
TEST_F(AuthServiceTest, LateRefreshNeverReplacesANewerSignIn) {
    for (const HTTPResponse& late : {refreshAnswer("3600", "r-rotated"), HTTPResponse{400, "TOKEN_EXPIRED"}}) {
        store->save(StoredSession{"u1", "r1"});
        auto auth = make();
        transport->answers = {signInAnswer("3600", "u2"), late};
        transport->during = [&] { auth->signIn("custom-u2"); };
        EXPECT_EQ(AuthService::uidFromIDToken(auth->idToken()), "u2") << late.body;
        EXPECT_EQ(auth->uid(), "u2") << late.body;
        EXPECT_EQ(store->load(), (StoredSession{"u2", "r1"})) << late.body;
    }
}

TEST_F(AuthServiceTest, SignInWithoutAReadableUserStoresNothing) {
    auto auth = make();
    transport->answers.push_back({200, json{{"idToken", tokenWith({{"user_id", 5}})}, {"refreshToken", "r"}, {"expiresIn", "3600"}}.dump()});
    EXPECT_THROW(auth->signIn("custom"), RecorderError);
    EXPECT_FALSE(auth->isSignedIn());
    EXPECT_EQ(store->load(), std::nullopt);
}

// The user is "user_id" when it is a string, else "sub"; a token is three non-empty pieces.
TEST(AuthServiceTokens, UserIDFromThePayload) {
    const std::string sub = base64Encode(json{{"sub", "c"}}.dump(), Base64Alphabet::urlSafe, false);
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {tokenWith({{"user_id", "a"}, {"sub", "b"}}), "a"},
        {tokenWith({{"sub", "b"}}), "b"},
        {tokenWith({{"user_id", 5}, {"sub", "b"}}), "b"},
        {"a.." + sub + ".c", "c"},
        {"a." + sub + ".c.d", std::nullopt},
        {"a.!!!.c", std::nullopt},
    };
    for (const auto& [token, uid] : cases) EXPECT_EQ(AuthService::uidFromIDToken(token), uid) << token;
}

TEST(StoredSessions, CorruptItemsLoadAsNothing) {
    EXPECT_EQ(StoredSession::decode(R"({"uid":"u","refreshToken":"r"})"), (StoredSession{"u", "r"}));
    for (const char* bad : {"", "{", "[]", R"({"uid":"u"})", R"({"uid":1,"refreshToken":"r"})"})
        EXPECT_EQ(StoredSession::decode(bad), std::nullopt) << bad;
    EXPECT_EQ(StoredSession::decode(StoredSession{"u\"x", "r"}.encoded()), (StoredSession{"u\"x", "r"}));
}

}  // namespace
}  // namespace brindlow
