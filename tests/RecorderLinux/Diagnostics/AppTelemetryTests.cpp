#include "Diagnostics/AppTelemetry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <thread>

#include "Support/AtomicFile.h"
#include "Support/Subprocess.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

std::vector<fs::path> filesIn(const fs::path& folder, const std::string& prefix = "") {
    std::vector<fs::path> out;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().starts_with(prefix)) out.push_back(entry.path());
    return out;
}

class AppTelemetryCrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        // In sanitizer builds the helper's own fatal-signal handlers must get the signals.
        const char* asan = std::getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") +
                                ":handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:handle_abort=0").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(root); }

    int runHelper(const std::string& how) { return testing::runCommand({BRINDLOW_CRASH_HELPER_PATH, dir.string(), how}).exitCode; }
    std::vector<json> events(const std::string& name) const {
        std::vector<json> out;
        for (const auto& e : json::parse(*readFile(dir / "queue.json")))
            if (e.at("name") == name) out.push_back(e);
        return out;
    }

    fs::path root = fs::temp_directory_path() / ("brindlow-apptelemetry-" + randomUUID()), dir;
};

// Each way of dying leaves a run marker and, with the handlers installed, a diagnostic the
// backend can decode; the next launch reports the unexpected exit once, with what the marker kept.
TEST_F(AppTelemetryCrashTest, ACrashIsReportedByTheNextLaunch) {
    const struct {
        const char* how;
        int signal;
        const char* name;       // of the diagnostic; none without handlers
        const char* exception;  // how the marker's begins
    } crashes[] = {
        {"throw", SIGABRT, "std::runtime_error", "std::runtime_error: disk on fire zzz"},
        {"segv", SIGSEGV, "SIGSEGV", "SIGSEGV: Segmentation fault at 0x8"},
        {"overflow", SIGSEGV, "SIGSEGV", "SIGSEGV: Segmentation fault"},  // on a queue's thread
        {"throw-without-handlers", SIGABRT, nullptr, nullptr},
    };
    for (const auto& c : crashes) {
        SCOPED_TRACE(c.how);
        dir = root / c.how;
        EXPECT_EQ(runHelper(c.how), 128 + c.signal);
        const auto markers = filesIn(dir, "run-");
        ASSERT_EQ(markers.size(), 1u);
        const json marker = json::parse(*readFile(markers[0]));
        EXPECT_EQ(marker.contains("exception"), c.exception != nullptr);
        const std::string exception = marker.value("exception", "");
        EXPECT_TRUE(!c.exception || exception.starts_with(c.exception)) << exception;
        const auto diagnostics = filesIn(Telemetry::diagnosticsDirectory(dir));
        ASSERT_EQ(diagnostics.size(), c.name ? 1u : 0u);
        if (c.name) {
            const json diagnostic = json::parse(*readFile(diagnostics[0]));
            EXPECT_EQ(diagnostic.at("kind"), "exception");
            EXPECT_NO_THROW(PendingDiagnostic::fromJSON(diagnostic));
            const json& payload = diagnostic.at("payload");
            EXPECT_EQ(payload.at("name"), c.name);
            EXPECT_EQ(payload.at("phase"), "recording");
            EXPECT_NE(payload.at("callStack").dump().find("CrashHelper"), std::string::npos);
            if (c.signal == SIGABRT) {  // the diagnostic keeps the whole text, however long
                EXPECT_EQ(payload.at("reason"), "disk on fire " + std::string(600, 'z'));
            }
        }

        EXPECT_EQ(runHelper("quit"), 0);
        const auto exits = events("unexpected_exit");
        ASSERT_EQ(exits.size(), 1u);
        EXPECT_EQ(exits[0].at("aid"), "aid-crash");
        const json& props = exits[0].at("props");
        EXPECT_EQ(props.at("lastPhase"), "recording");
        EXPECT_EQ(props.value("exception", ""), exception);
        const auto launches = events("app_launched");
        ASSERT_EQ(launches.size(), 2u);
        EXPECT_EQ(launches[1].at("props").at("previousExit"), "unexpected");
    }
    // A quit whose wait for the backend runs out is no hang, and the launch after it was clean.
    EXPECT_EQ(runHelper("slow-quit"), 0);
    EXPECT_TRUE(filesIn(Telemetry::diagnosticsDirectory(dir)).empty());
    EXPECT_EQ(runHelper("quit"), 0);
    EXPECT_EQ(events("app_launched").back().at("props").at("previousExit"), "clean");
    EXPECT_EQ(events("app_quit").size(), 3u);
    EXPECT_EQ(events("unexpected_exit").size(), 1u);
}

TEST(HangWatchdog, ReportsAStallWhenItEndsAndOneStillGoingAtStop) {
    std::mutex mutex;
    std::vector<std::pair<double, bool>> reports;
    auto reported = [&] {
        std::lock_guard lock(mutex);
        return reports;
    };
    HangWatchdog watchdog(
        [&](double seconds, bool ended) {
            std::lock_guard lock(mutex);
            reports.emplace_back(seconds, ended);
        },
        std::chrono::milliseconds(150), std::chrono::milliseconds(10));
    watchdog.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // no ping yet: nothing watched
    for (int i = 0; i < 10; ++i) {
        watchdog.ping();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    watchdog.ping();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(reported().size(), 1u);
    EXPECT_GE(reported()[0].first, 0.4);
    EXPECT_TRUE(reported()[0].second);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    watchdog.stop();
    ASSERT_EQ(reported().size(), 2u);
    EXPECT_GE(reported()[1].first, 0.3);
    EXPECT_FALSE(reported()[1].second);
}

TEST(AppTelemetry, DefaultDirectoryFollowsXDGDataHome) {
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "/";
    setenv("XDG_DATA_HOME", "/data/alice", 1);
    EXPECT_EQ(AppTelemetry::defaultDirectory(), fs::path("/data/alice/BrindlowRecorder/telemetry"));
    setenv("XDG_DATA_HOME", "relative", 1);  // not absolute: ignored, as the XDG rules say
    setenv("HOME", "/home/alice", 1);
    EXPECT_EQ(AppTelemetry::defaultDirectory(), fs::path("/home/alice/.local/share/BrindlowRecorder/telemetry"));
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", home.c_str(), 1);
}

}  // namespace
}  // namespace brindlow
