// A take's page in headless Chromium: it plays the stored streams with the pause cut,
// seeks to the right pictures, keeps the camera on the screen's clock, draws clicks,
// follows a take while it records; the library and the page give a length alike.

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "CursorLog.h"
#include "Support/FakeSources.h"
#include "Support/TakeRig.h"

namespace brindlow {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;
using testing::ChildProcess;

const fs::path kArtifacts = BRINDLOW_WEB_ARTIFACTS_DIR;
// Red, green, blue, yellow, a second each: far apart after any encoder's rounding.
const std::vector<testing::SolidColour> kColours{{220, 30, 30}, {30, 200, 40}, {30, 60, 220}, {230, 220, 40}};

class ViewPageTest : public ::testing::Test {
protected:
    // Ranges every half second: a page following a take sees it grow.
    ViewPageTest() {
        rig.options.limits.minRangeBytes = 512;
        rig.options.limits.minRangeSeconds = 0.5;
    }
    void SetUp() override {
        const char* chromium = std::getenv("BRINDLOW_CHROMIUM");
        if (access(chromium ? chromium : "/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
        if (!fs::exists(fs::path(BRINDLOW_BROWSER_TESTS_DIR) / "node_modules/playwright-core"))
            GTEST_SKIP() << "playwright-core is not installed (scripts/install-deps runs npm ci in tests/browser)";
        fs::create_directories(kArtifacts);
    }
    // The page driver running a scenario; it prints what it saw as JSON lines.
    static ChildProcess driver(const std::string& mode, const std::string& url, const std::string& shot,
                               const json& plan = json::object()) {
        return ChildProcess({"node", BRINDLOW_BROWSER_TESTS_DIR "/view-page.mjs", mode, url, (kArtifacts / shot).string(), plan.dump()},
                            ChildProcess::Options().readingOutput());
    }
    static json next(ChildProcess& driver, std::chrono::seconds limit) {
        return json::parse(driver.nextLine(limit).value_or("null"), nullptr, false);
    }
    std::string page(const std::string& id) const { return rig.server.base("web") + "/screen-recorder/view/" + id; }

    testing::TakeRig rig;
};

std::shared_ptr<testing::ColourSequenceSource> colours(CaptureSize size, std::vector<testing::SolidColour> sequence = kColours) {
    return std::make_shared<testing::ColourSequenceSource>(size, std::move(sequence), 1.0);
}

// The index in kColours of the colour nearest to what the page showed.
int nearestColour(const json& rgb) {
    const auto distance = [&](const testing::SolidColour& c) {
        return std::hypot(rgb[0].get<double>() - c.r, rgb[1].get<double>() - c.g, rgb[2].get<double>() - c.b);
    };
    const auto best = std::min_element(kColours.begin(), kColours.end(), [&](auto& a, auto& b) { return distance(a) < distance(b); });
    return distance(*best) < 90 ? int(best - kColours.begin()) : -1;
}

TEST_F(ViewPageTest, ASavedTakePlaysWithItsPauseCutSeeksKeepsTheCameraInStepAndDrawsItsClicks) {
    auto screen = colours({640, 400});
    auto recorder = rig.session(screen, colours({160, 120}, {{200, 40, 200}}), std::make_shared<testing::FakeMicSource>());
    recorder->prepare();
    const std::string aid = recorder->begin();
    screen->restartClock();
    std::this_thread::sleep_for(2s);
    testing::TakeRig::pauseFor(*recorder, 1s);
    std::this_thread::sleep_for(1s);
    const auto saved = recorder->stop();

    // A press at 2.5 s where the pointer was at (0.25, 0.6), on a labelled button.
    CursorLog log;
    log.display = {1280, 800};
    log.moves = {{0, 0.5, 0.5}, {2400, 0.25, 0.6}};
    log.clicks = {{2500, 0, true}, {2600, 0, false}};
    log.elements = {{2500, 0.2, 0.55, 0.1, 0.1, "button", "Save <draft>"}};
    rig.api.saveCursorLog(aid, log);

    const std::vector<double> seekTimes{0.5, 1.5, 2.5};
    const std::vector<int> expectedColours{0, 1, 3};  // blue was recorded while paused
    auto browser = driver("saved", page(saved.folderId.value()), "view-saved.png", {{"seekTimes", seekTimes}, {"clickSeconds", 2.5}});
    const json seen = next(browser, 120s);
    ASSERT_EQ(browser.waitAtMost(30s), 0) << seen.dump();
    EXPECT_EQ(seen.at("mode"), "mse");
    EXPECT_NEAR(seen.at("duration").get<double>(), saved.durationSeconds, 0.1);
    for (size_t k = 0; k < seekTimes.size(); ++k) {
        const json& c = seen.at("colours").at(k);
        EXPECT_EQ(nearestColour(c.at("rgb")), expectedColours[k]) << c.dump();
        EXPECT_NEAR(c.at("shown").get<double>(), seekTimes[k], 0.05);
        EXPECT_LE(c.at("cameraLag").get<double>(), 1.0 / 30 + 1e-3) << c.dump();
    }
    EXPECT_TRUE(seen.at("cameraShown").get<bool>());
    EXPECT_NEAR(seen.value("x", -1.0), 0.25, 0.02) << "no ripple drawn";
    EXPECT_NEAR(seen.value("y", -1.0), 0.6, 0.02);
    EXPECT_EQ(seen.at("caption"), "button · Save <draft>");
    EXPECT_TRUE(seen.at("hiddenByToggle").get<bool>());
    EXPECT_TRUE(seen.at("ended").get<bool>());
    EXPECT_EQ(seen.at("errors"), json::array());
    EXPECT_EQ(seen.at("downloads"), 2);
}

TEST_F(ViewPageTest, ATakeIsFollowedWhileItRecordsAndShownSavedAfterStop) {
    auto screen = colours({320, 240});
    auto recorder = rig.session(screen, colours({160, 120}));
    recorder->prepare();
    const std::string aid = recorder->begin();
    screen->restartClock();
    // The page opens once the first range is there, as a viewer following the link would.
    const auto arrived = [&] {
        const auto res = rig.server.request("GET", rig.server.base("web") + "/screen-recorder/api/takes/" + aid);
        return res.status == 200 && json::parse(res.body).at("streams").at(0).at("bytes").get<int64_t>() > 0;
    };
    for (int tries = 0; tries < 200 && !arrived(); ++tries) std::this_thread::sleep_for(50ms);
    auto browser = driver("live", page(aid), "view-live.png");
    const json first = next(browser, 60s);
    ASSERT_TRUE(first.is_object()) << "the live page showed no frame";
    EXPECT_EQ(first.at("status"), "recording");
    EXPECT_NE(first.at("notice").get<std::string>().find("Recording in progress"), std::string::npos);
    const json grew = next(browser, 60s);
    ASSERT_TRUE(grew.is_object()) << "the playable part did not grow";
    EXPECT_GE(grew.at("later").get<double>(), grew.at("first").get<double>() + 1);
    EXPECT_TRUE(grew.at("playing").get<bool>());

    const auto saved = recorder->stop();
    const json done = next(browser, 90s);
    ASSERT_EQ(browser.waitAtMost(30s), 0) << done.dump();
    EXPECT_NEAR(done.at("duration").get<double>(), saved.durationSeconds, 0.1);
    EXPECT_TRUE(done.at("noticeHidden").get<bool>());
    EXPECT_EQ(done.at("errors"), json::array());
    EXPECT_EQ(done.at("location"), page(saved.folderId.value()));
}

// Lengths are cut to whole seconds, never rounded up, in the list and on the page alike.
TEST_F(ViewPageTest, TheLibraryAndATakesPageGiveItsLengthAlike) {
    const std::string aid = randomUUID();
    rig.api.registerRecording(aid, {StreamInfo{StreamKey::screen, "video/mp4", 640, 400}}, std::nullopt);
    const std::string folder = rig.api.createFolder(rig.user, aid);
    rig.api.registerAsset(aid, folder, std::nullopt, 26.97);
    rig.api.close(aid, CloseStatus::saved, folder);

    auto browser = driver("library", rig.server.base("web") + "/", "library.png");
    const json seen = next(browser, 60s);
    ASSERT_EQ(browser.waitAtMost(30s), 0) << seen.dump();
    ASSERT_EQ(seen.at("rows").size(), 1u) << seen.dump();
    const json& cells = seen.at("rows").at(0);  // title, date, length, streams, status
    EXPECT_EQ(cells.at(2), "0:26");
    EXPECT_EQ(cells.at(4), "Saved");
    EXPECT_EQ(seen.at("time"), "0:00 / 0:26");
}

}  // namespace
}  // namespace brindlow
