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

// The browser's part played by headless Chromium: open the sign-in page and press
// Continue, or Cancel, which the loopback listener answers with the token or a failure.
TEST(AuthIntegration, BrowserSignInThroughTheWebAppPage) {
    const std::filesystem::path scripts = BRINDLOW_BROWSER_TESTS_DIR;
    const char* chromium = std::getenv("BRINDLOW_CHROMIUM");
    const std::string browser = chromium ? chromium : "/usr/bin/chromium";
    if (access(browser.c_str(), X_OK) != 0) GTEST_SKIP() << browser << " is not installed (Debian package chromium)";
    if (!std::filesystem::exists(scripts / "node_modules/playwright-core"))
        GTEST_SKIP() << "playwright-core is not installed in " << scripts << " (scripts/install-deps runs npm ci there)";
    testing::DevServerProcess server;
    AuthService auth(server.environment(), server.transport(), std::make_shared<testing::MemoryTokenStore>());
    auto press = [&](BrowserSignIn& attempt, const char* button) {
        const auto run = testing::runCommand({"node", (scripts / "sign-in.mjs").string(), attempt.start(), button}, false);
        if (run.exitCode != 0) attempt.cancel();  // or waiting for the token never ends
        return run;
    };
    auto signIn = BrowserSignIn::make(server.environment().webApp);
    const auto run = press(*signIn, "continue");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(nlohmann::json::parse(run.output).at("title"), "You're signed in");
    auth.signIn(signIn->waitForToken());
    EXPECT_EQ(auth.uid(), "alice");
    EXPECT_FALSE(auth.idToken().empty());

    auto cancelled = BrowserSignIn::make(server.environment().webApp);
    const auto cancelRun = press(*cancelled, "cancel");
    ASSERT_EQ(cancelRun.exitCode, 0) << cancelRun.output;
    EXPECT_THROW(cancelled->waitForToken(), BrowserSignIn::Failure);
}

}  // namespace
}  // namespace brindlow
