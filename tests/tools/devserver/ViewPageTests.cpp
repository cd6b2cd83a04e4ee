// A take's page in headless Chromium: it plays the stored streams, seeks to the
// right pictures, keeps the camera on the screen's clock, draws clicks, and
// follows a take while it records.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "CursorLog.h"
#include "RecordedTakes.h"
#include "Support/Subprocess.h"

extern char** environ;

namespace brindlow {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

const fs::path kScripts = BRINDLOW_BROWSER_TESTS_DIR;
const fs::path kArtifacts = BRINDLOW_WEB_ARTIFACTS_DIR;

std::string browser() {
    const char* chromium = std::getenv("BRINDLOW_CHROMIUM");
    return chromium ? chromium : "/usr/bin/chromium";
}

// The page driver, read line by line while it runs; stopped by its pid.
class Driver {
public:
    explicit Driver(const std::vector<std::string>& args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        std::vector<std::string> all{"node", (kScripts / "view-page.mjs").string()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (posix_spawnp(&pid_, "node", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        fd_ = out[0];
    }
    ~Driver() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0) close(fd_);
    }
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // The next line as JSON; null when none came within `seconds` or the driver ended.
    json next(double seconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            if (const size_t end = buffer_.find('\n'); end != std::string::npos) {
                const std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                const auto parsed = json::parse(line, nullptr, false);
                if (!parsed.is_discarded()) return parsed;
                continue;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd ready{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&ready, 1, int(left.count())) <= 0) return nullptr;
            char chunk[4096];
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) return nullptr;
            buffer_.append(chunk, size_t(n));
        }
    }
    // The driver's exit status; one still running after `seconds` is stopped and fails.
    int finish(double seconds = 30) {
        int status = 0;
        const bool ended = testing::eventually([&] { return pid_ <= 0 || waitpid(pid_, &status, WNOHANG) == pid_; }, seconds);
        if (!ended) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string buffer_;
};

class ViewPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(browser().c_str(), X_OK) != 0) GTEST_SKIP() << browser() << " is not installed (Debian package chromium)";
        if (!fs::exists(kScripts / "node_modules/playwright-core"))
            GTEST_SKIP() << "playwright-core is not installed (scripts/install-deps runs npm ci in tests/browser)";
        fs::create_directories(kArtifacts);
    }
    std::string page(const std::string& id) const { return takes.server.base("web") + "/screen-recorder/view/" + id; }

    testing::RecordedTakes takes;
};

// The nearest of the screen's colours to what the page showed.
int nearestColour(const json& rgb) {
    int best = -1;
    double bestDistance = 1e9;
    for (size_t k = 0; k < testing::kScreenColours.size(); ++k) {
        const auto& c = testing::kScreenColours[k];
        const double d = std::hypot(rgb[0].get<double>() - c.r, rgb[1].get<double>() - c.g, rgb[2].get<double>() - c.b);
        if (d < bestDistance) {
            bestDistance = d;
            best = int(k);
        }
    }
    return bestDistance < 90 ? best : -1;
}

// "m:ss" of whole seconds, as the pages and the recorder show a length.
std::string clockText(double seconds) {
    const int whole = int(seconds);
    char text[16];
    std::snprintf(text, sizeof text, "%d:%02d", whole / 60, whole % 60);
    return text;
}

TEST_F(ViewPageTest, ASavedTakePlaysSeeksKeepsTheCameraInStepAndDrawsItsClicks) {
    auto screen = takes.screenSource(640, 400);
    auto recorder = takes.session(screen, takes.cameraSource(), std::make_shared<testing::FakeMicSource>());
    recorder->prepare();
    const std::string aid = recorder->begin();
    screen->restartClock();
    std::this_thread::sleep_for(std::chrono::duration<double>(testing::kScreenColours.size() * testing::kColourSeconds));
    const auto saved = recorder->stop();
    recorder->releaseSources();
    ASSERT_TRUE(saved.folderId);

    // A press at 2.5 s where the pointer was at (0.25, 0.6), on a labelled button.
    CursorLog log;
    log.display = {1280, 800};
    log.moves = {{0, 0.5, 0.5}, {2400, 0.25, 0.6}};
    log.clicks = {{2500, 0, true}, {2600, 0, false}};
    log.elements = {{2500, 0.2, 0.55, 0.1, 0.1, "button", "Save <draft>"}};
    takes.api.saveCursorLog(aid, log);

    std::vector<double> seekTimes;
    for (size_t k = 0; k < testing::kScreenColours.size(); ++k) seekTimes.push_back((double(k) + 0.5) * testing::kColourSeconds);
    const fs::path shot = kArtifacts / "view-saved.png";
    Driver driver({"saved", page(*saved.folderId), shot.string(),
                   json{{"seekTimes", seekTimes}, {"click", {{"seconds", 2.5}}}}.dump()});
    const json seen = driver.next(120);
    ASSERT_EQ(driver.finish(), 0) << seen.dump();
    ASSERT_TRUE(seen.is_object());
    std::printf("[ figure ] saved %.1f s take: first frame %.0f ms after navigation (%s)\n", saved.durationSeconds,
                seen.at("firstFrameMs").get<double>(), seen.at("mode").get<std::string>().c_str());

    EXPECT_EQ(seen.at("mode"), "mse");
    EXPECT_NEAR(seen.at("duration").get<double>(), saved.durationSeconds, 0.1);
    for (size_t k = 0; k < seekTimes.size(); ++k) {
        const json& c = seen.at("colours").at(k);
        EXPECT_EQ(nearestColour(c.at("rgb")), int(k)) << c.dump();
        EXPECT_NEAR(c.at("shown").get<double>(), seekTimes[k], 0.05);
        EXPECT_LE(c.at("cameraLag").get<double>(), 1.0 / 30 + 1e-3) << c.dump();
    }
    EXPECT_TRUE(seen.at("cameraShown").get<bool>());
    const json& click = seen.at("click");
    ASSERT_TRUE(click.is_object()) << "no ripple drawn";
    EXPECT_NEAR(click.at("x").get<double>(), 0.25, 0.02);
    EXPECT_NEAR(click.at("y").get<double>(), 0.6, 0.02);
    EXPECT_EQ(click.at("caption"), "button · Save <draft>");
    EXPECT_TRUE(click.at("hiddenByToggle").get<bool>());
    EXPECT_TRUE(seen.at("played").at("ended").get<bool>()) << seen.at("played").dump();
    // The page gives the take's length as the list does, cut to whole seconds.
    const std::string timeText = seen.at("timeText");
    const std::string length = " / " + clockText(saved.durationSeconds);
    EXPECT_TRUE(timeText.size() > length.size() &&
                timeText.substr(timeText.size() - length.size()) == length)
        << timeText << " for " << saved.durationSeconds << " s";
    EXPECT_EQ(seen.at("errors"), (json{{"page", json::array()}, {"screen", nullptr}, {"camera", nullptr}}));
    EXPECT_EQ(seen.at("downloads").size(), 2u);
    EXPECT_TRUE(fs::exists(shot));
}

TEST_F(ViewPageTest, ATakeIsFollowedWhileItRecordsAndShownSavedAfterStop) {
    auto screen = takes.screenSource();
    auto recorder = takes.session(screen, takes.cameraSource());
    recorder->prepare();
    const std::string aid = recorder->begin();
    screen->restartClock();
    // The page opens once the first range is there, as a viewer following the link would.
    ASSERT_TRUE(testing::eventually([&] {
        auto client = takes.web();
        const auto res = client.Get(("/screen-recorder/api/takes/" + aid).c_str());
        if (!res || res->status != 200) return false;
        const json take = json::parse(res->body);
        return take.at("status") == "recording" && take.at("streams").at(0).at("bytes").get<int64_t>() > 0;
    }));
    const fs::path shot = kArtifacts / "view-live.png";
    Driver driver({"live", page(aid), shot.string()});
    const json first = driver.next(60);
    ASSERT_TRUE(first.is_object()) << "the live page showed no frame";
    EXPECT_EQ(first.at("status"), "recording");
    EXPECT_NE(first.at("notice").get<std::string>().find("Recording in progress"), std::string::npos);
    std::printf("[ figure ] live take: first frame %.0f ms after navigation\n", first.at("firstFrameMs").get<double>());
    const json grew = driver.next(60);
    ASSERT_TRUE(grew.is_object()) << "the playable part did not grow";
    EXPECT_GE(grew.at("later").get<double>(), grew.at("first").get<double>() + 1);
    EXPECT_TRUE(grew.at("playing").get<bool>());

    const auto saved = recorder->stop();
    recorder->releaseSources();
    const json done = driver.next(90);
    ASSERT_EQ(driver.finish(), 0) << done.dump();
    ASSERT_TRUE(done.is_object());
    EXPECT_NEAR(done.at("duration").get<double>(), saved.durationSeconds, 0.1);
    EXPECT_TRUE(done.at("noticeHidden").get<bool>());
    EXPECT_TRUE(done.at("errors").empty()) << done.dump();
    ASSERT_TRUE(saved.folderId);
    EXPECT_EQ(done.at("location"), page(*saved.folderId));
}

TEST_F(ViewPageTest, TheLibraryListsEveryTakeWithItsStatus) {
    testing::RecordedTakes three({"--stale-seconds", "1"});
    const auto aids = testing::recordSavedDiscardedAndFailed(three);
    // The failed take shows as failed once it has been quiet for a second.
    ASSERT_TRUE(testing::eventually([&] {
        auto client = three.web();
        const auto res = client.Get(("/screen-recorder/api/takes/" + aids[2]).c_str());
        return res && res->status == 200 && json::parse(res->body).at("status") == "uploadFailed";
    }));
    Driver driver({"library", three.server.base("web") + "/", (kArtifacts / "library.png").string()});
    const json seen = driver.next(60);
    ASSERT_EQ(driver.finish(), 0);
    ASSERT_TRUE(seen.is_object());
    const json rows = seen.at("rows");
    ASSERT_EQ(rows.size(), 3u) << rows.dump();
    const std::vector<std::pair<std::string, std::string>> expected{
        {aids[2], "Upload failed"}, {aids[1], "Discarded"}, {aids[0], "Saved"}};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(rows.at(i).at("aid"), expected[i].first);
        EXPECT_EQ(rows.at(i).at("status"), expected[i].second);
    }
    EXPECT_EQ(rows.at(2).at("href").get<std::string>().rfind("/screen-recorder/view/f-", 0), 0u);
    // A take's length is cut to whole seconds, as its page shows it.
    for (const auto& row : rows) {
        auto client = three.web();
        const auto res =
            client.Get(("/screen-recorder/api/takes/" + row.at("aid").get<std::string>()).c_str());
        ASSERT_TRUE(res && res->status == 200);
        const double seconds = json::parse(res->body).at("durationSeconds");
        EXPECT_EQ(row.at("duration"), clockText(seconds)) << seconds;
    }
    EXPECT_EQ(rows.at(0).at("href"), "/screen-recorder/view/" + aids[2]);
}

// Only when asked: a minute of recording to time the page's first frame.
TEST_F(ViewPageTest, FirstFrameOfAMinuteLongTake) {
    if (!std::getenv("BRINDLOW_WEB_MEASURE")) GTEST_SKIP() << "set BRINDLOW_WEB_MEASURE=1 to record a 60 s take";
    auto screen = takes.screenSource(1280, 800);
    auto recorder = takes.session(screen, takes.cameraSource(), std::make_shared<testing::FakeMicSource>());
    takes.options.limits.minRangeBytes = 1024 * 1024;
    takes.options.limits.minRangeSeconds = 15;
    recorder->prepare();
    recorder->begin();
    screen->restartClock();
    std::this_thread::sleep_for(60s);
    const auto saved = recorder->stop();
    recorder->releaseSources();
    Driver driver({"saved", page(*saved.folderId), (kArtifacts / "view-minute.png").string(), "{}"});
    const json seen = driver.next(180);
    ASSERT_EQ(driver.finish(), 0);
    std::printf("[ figure ] saved %.1f s take: first frame %.0f ms after navigation\n", saved.durationSeconds,
                seen.at("firstFrameMs").get<double>());
}

}  // namespace
}  // namespace brindlow
