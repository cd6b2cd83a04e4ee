// AuthService against the devserver's token services over loopback.

#include <gtest/gtest.h>

#include "AuthService.h"
#include "RecorderError.h"
#include "SignIn/BrowserSignIn.h"
#include "Support/DevServerProcess.h"
#include "Support/ExpectError.h"
#include "Support/MemoryTokenStore.h"
#include "Support/Subprocess.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

namespace brindlow {
namespace {

TEST(AuthIntegration, SignInRefreshAndRevocation) {
    testing::DevServerProcess server;
    auto store = std::make_shared<testing::MemoryTokenStore>();
    double now = 0;
    AuthService auth(server.environment(), server.transport(), store, [&] { return now; });
    auth.signIn(server.mintCustomToken("alice"));
    EXPECT_EQ(auth.uid(), "alice");

    // The token works against the backend, and a fresh one after the margin does too.
    BrindlowAPI api(server.environment(), HTTPClient(server.transport(), std::shared_ptr<IDTokenProvider>(&auth, [](auto*) {})));
    EXPECT_EQ(api.fetchUser("alice").teamId, "t1");
    now += 3400;
    EXPECT_EQ(api.fetchUser("alice").teamId, "t1");

    // A revoked refresh token signs out.
    now += 3400;
    server.request("POST", server.base("monolith") + "/_dev/revoke", nlohmann::json{{"uid", "alice"}}.dump());
    EXPECT_EQ(testing::errorFrom<RecorderError>([&] { auth.idToken(); }), RecorderError::notSignedIn());
    EXPECT_FALSE(auth.isSignedIn());
    EXPECT_EQ(store->load(), std::nullopt);
    EXPECT_THROW(auth.signIn("forged.token.value"), HTTPError);
}

// The browser's part played by plain requests, then by headless Chromium: open the
// sign-in page, follow Continue (or Cancel) to the loopback listener, and sign in with
// what arrives.
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
    AuthService auth(server.environment(), server.transport(), std::make_shared<testing::MemoryTokenStore>());
    auto attempt = BrowserSignIn::make(server.environment().webApp);
    const std::string callback = follow(server, attempt->start(), "continue");
    ASSERT_FALSE(callback.empty());
    EXPECT_EQ(server.request("GET", callback).status, 200);
    auth.signIn(attempt->waitForToken());
    EXPECT_EQ(auth.uid(), "alice");

    auto cancelled = BrowserSignIn::make(server.environment().webApp);
    EXPECT_EQ(server.request("GET", follow(server, cancelled->start(), "cancel")).status, 400);
    EXPECT_THROW(cancelled->waitForToken(), BrowserSignIn::Failure);
    EXPECT_EQ(server.request("GET", server.base("web") + "/desktop/sign-in?port=x&state=y").status, 400);

    const std::filesystem::path scripts = BRINDLOW_BROWSER_TESTS_DIR;
    const char* chromium = std::getenv("BRINDLOW_CHROMIUM");
    const std::string browser = chromium ? chromium : "/usr/bin/chromium";
    if (access(browser.c_str(), X_OK) != 0) GTEST_SKIP() << browser << " is not installed (Debian package chromium)";
    if (!std::filesystem::exists(scripts / "node_modules/playwright-core"))
        GTEST_SKIP() << "playwright-core is not installed in " << scripts << " (scripts/install-deps runs npm ci there)";
    auto inBrowser = BrowserSignIn::make(server.environment().webApp);
    const auto run = testing::runCommand({"node", (scripts / "sign-in.mjs").string(), inBrowser->start(), "continue"}, false);
    if (run.exitCode != 0) inBrowser->cancel();
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(nlohmann::json::parse(run.output).at("title"), "You're signed in");
    auth.signIn(inBrowser->waitForToken());
    EXPECT_EQ(auth.uid(), "alice");
    EXPECT_FALSE(auth.idToken().empty());
}

}  // namespace
}  // namespace brindlow
