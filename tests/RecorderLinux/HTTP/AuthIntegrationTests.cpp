// AuthService against the devserver's token services over loopback.

#include <gtest/gtest.h>

#include "AuthService.h"
#include "RecorderError.h"
#include "SignIn/BrowserSignIn.h"
#include "Support/DevServerProcess.h"
#include "Support/Subprocess.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <regex>

namespace brindlow {
namespace {

class NoStore : public TokenStore {
public:
    std::optional<StoredSession> load() override { return stored; }
    void save(const StoredSession& s) override { stored = s; }
    void clear() override { stored.reset(); }
    std::optional<StoredSession> stored;
};

TEST(AuthIntegration, SignInRefreshAndRevocation) {
    testing::DevServerProcess server;
    auto store = std::make_shared<NoStore>();
    double now = 0;
    AuthService auth(server.environment(), server.transport(), store, [&] { return now; });
    auth.signIn(server.mintCustomToken("alice"));
    EXPECT_EQ(auth.uid(), "alice");

    // The token works against the backend, and a fresh one after the margin does too.
    BrindlowAPI api(server.environment(), HTTPClient(server.transport(), std::shared_ptr<IDTokenProvider>(&auth, [](auto*) {})));
    EXPECT_EQ(api.fetchUser("alice").teamId, "t1");
    now += 3400;
    EXPECT_EQ(api.fetchUser("alice").teamId, "t1");

    // A server in trouble keeps the session; a revoked refresh token signs out.
    server.setFault({{"route", "refresh"}, {"status", 503}, {"times", 1}});
    now += 3400;
    EXPECT_THROW(auth.idToken(), HTTPError);
    EXPECT_TRUE(auth.isSignedIn());
    server.request("POST", server.base("monolith") + "/_dev/revoke", nlohmann::json{{"uid", "alice"}}.dump());
    try {
        auth.idToken();
        FAIL();
    } catch (const RecorderError& e) {
        EXPECT_EQ(e, RecorderError::notSignedIn());
    }
    EXPECT_FALSE(auth.isSignedIn());
    EXPECT_EQ(store->stored, std::nullopt);
    EXPECT_THROW(auth.signIn("forged.token.value"), HTTPError);
}

// The browser's part played by plain requests: open the sign-in page, follow Continue
// (or Cancel) to the loopback listener, and sign in with what arrives.
std::string follow(const testing::DevServerProcess& server, const std::string& pageURL, const char* button) {
    const auto page = server.request("GET", pageURL);
    EXPECT_EQ(page.status, 200);
    std::smatch m;
    const std::regex link(std::string("id=\"") + button + "\" role=\"button\" href=\"([^\"]+)\"");
    if (!std::regex_search(page.body, m, link)) return {};
    std::string href = m[1];
    for (size_t at; (at = href.find("&amp;")) != std::string::npos;) href.replace(at, 5, "&");
    return href;
}

TEST(AuthIntegration, BrowserSignInThroughTheWebAppPage) {
    testing::DevServerProcess server;
    auto attempt = BrowserSignIn::make(server.environment().webApp);
    const std::string url = attempt->start();
    EXPECT_EQ(url.rfind(server.base("web") + "/desktop/sign-in?port=", 0), 0u);
    const std::string callback = follow(server, url, "continue");
    ASSERT_FALSE(callback.empty());
    EXPECT_EQ(server.request("GET", callback).status, 200);
    auto store = std::make_shared<NoStore>();
    AuthService auth(server.environment(), server.transport(), store);
    auth.signIn(attempt->waitForToken());
    EXPECT_EQ(auth.uid(), "alice");

    auto cancelled = BrowserSignIn::make(server.environment().webApp);
    const std::string cancelURL = follow(server, cancelled->start(), "cancel");
    EXPECT_EQ(server.request("GET", cancelURL).status, 400);
    EXPECT_THROW(cancelled->waitForToken(), BrowserSignIn::Failure);
    EXPECT_EQ(server.request("GET", server.base("web") + "/desktop/sign-in?port=x&state=y").status, 400);
}

// The same flow in a real browser: headless Chromium follows the sign-in address,
// presses Continue on the page, and the listener hands over a token the backend takes.
TEST(AuthIntegration, SignInThroughHeadlessChromium) {
    const std::filesystem::path scripts = BRINDLOW_BROWSER_TESTS_DIR;
    const char* chromium = std::getenv("BRINDLOW_CHROMIUM");
    const std::string browser = chromium ? chromium : "/usr/bin/chromium";
    if (access(browser.c_str(), X_OK) != 0) GTEST_SKIP() << browser << " is not installed (Debian package chromium)";
    if (!std::filesystem::exists(scripts / "node_modules/playwright-core"))
        GTEST_SKIP() << "playwright-core is not installed in " << scripts << " (scripts/install-deps runs npm ci there)";

    testing::DevServerProcess server;
    auto attempt = BrowserSignIn::make(server.environment().webApp);
    const std::string url = attempt->start();
    const auto run = testing::runCommand({"node", (scripts / "sign-in.mjs").string(), url, "continue"}, false);
    if (run.exitCode != 0) attempt->cancel();
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const auto landed = nlohmann::json::parse(run.output);
    EXPECT_EQ(landed.at("title"), "You're signed in");
    AuthService auth(server.environment(), server.transport(), std::make_shared<NoStore>());
    auth.signIn(attempt->waitForToken());
    EXPECT_EQ(auth.uid(), "alice");
    EXPECT_FALSE(auth.idToken().empty());
}

}  // namespace
}  // namespace brindlow
