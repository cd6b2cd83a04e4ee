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

class AppTelemetryCrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        // In sanitizer builds the helper's own fatal-signal handlers must get the signals.
        const char* asan = std::getenv("ASAN_OPTIONS");
        const std::string options = std::string(asan ? asan : "") +
                                    ":handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:handle_abort=0";
        setenv("ASAN_OPTIONS", options.c_str(), 1);
    }
    void TearDown() override { fs::remove_all(dir); }

    int runHelper(const std::string& how) {
        return testing::runCommand({BRINDLOW_CRASH_HELPER_PATH, dir.string(), how}).exitCode;
    }
    std::vector<fs::path> files(const fs::path& folder, const std::string& prefix) const {
        std::vector<fs::path> out;
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.path().filename().string().rfind(prefix, 0) == 0) out.push_back(entry.path());
        return out;
    }
    json only(const fs::path& folder, const std::string& prefix) const {
        const auto found = files(folder, prefix);
        if (found.size() != 1) return nullptr;
        return json::parse(readFile(found[0]).value_or("null"));
    }
    std::vector<json> events(const std::string& name) const {
        std::vector<json> out;
        for (const auto& e : json::parse(*readFile(dir / "queue.json")))
            if (e.at("name") == name) out.push_back(e);
        return out;
    }
    // The diagnostic a crash left, checked for what every crash diagnostic holds.
    json crashPayload() const {
        const json diagnostic = only(Telemetry::diagnosticsDirectory(dir), "");
        EXPECT_EQ(diagnostic.at("kind"), "exception");
        const json& payload = diagnostic.at("payload");
        EXPECT_EQ(payload.at("phase"), "recording");
        EXPECT_EQ(payload.at("aid"), "aid-crash");
        const auto& stack = payload.at("callStack");
        EXPECT_GE(stack.size(), 3u);
        EXPECT_LE(stack.size(), 100u);
        // Well-formed enough for the backend: decodes as a pending diagnostic.
        EXPECT_NO_THROW(PendingDiagnostic::fromJSON(diagnostic));
        return payload;
    }

    fs::path dir = fs::temp_directory_path() / ("brindlow-apptelemetry-" + randomUUID());
};

TEST_F(AppTelemetryCrashTest, UncaughtExceptionIsReportedByTheNextLaunch) {
    EXPECT_EQ(runHelper("throw"), 128 + SIGABRT);
    const json marker = only(dir, "run-");
    ASSERT_TRUE(marker.is_object());
    EXPECT_EQ(marker.at("phase"), "recording");
    EXPECT_EQ(marker.at("aid"), "aid-crash");
    const std::string exception = marker.at("exception");
    EXPECT_EQ(exception.rfind("std::runtime_error: disk on fire zzz", 0), 0u);
    EXPECT_EQ(characterCount(exception), 500u);
    const json payload = crashPayload();
    EXPECT_EQ(payload.at("name"), "std::runtime_error");
    EXPECT_EQ(payload.at("reason"), "disk on fire " + std::string(600, 'z'));
    EXPECT_NE(payload.at("callStack").dump().find("CrashHelper"), std::string::npos);

    // The next run reports it once, with everything the marker kept.
    EXPECT_EQ(runHelper("quit"), 0);
    const auto exits = events("unexpected_exit");
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0].at("aid"), "aid-crash");
    EXPECT_EQ(exits[0].at("props").at("lastPhase"), "recording");
    EXPECT_EQ(exits[0].at("props").at("build"), "345");
    EXPECT_EQ(exits[0].at("props").at("startedAt"), marker.at("startedAt"));
    EXPECT_EQ(exits[0].at("props").at("exception"), exception);
    const auto launches = events("app_launched");
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_EQ(launches[1].at("props").at("previousExit"), "unexpected");
    const auto quits = events("app_quit");
    ASSERT_EQ(quits.size(), 1u);
    EXPECT_EQ(quits[0].at("props").at("phase"), "idle");
    EXPECT_TRUE(files(dir, "run-").empty());

    // After a clean quit the launch after that was clean.
    EXPECT_EQ(runHelper("quit"), 0);
    EXPECT_EQ(events("app_launched").back().at("props").at("previousExit"), "clean");
    EXPECT_EQ(events("unexpected_exit").size(), 1u);
}

TEST_F(AppTelemetryCrashTest, QuitsOwnWaitForTheBackendIsNotAHang) {
    EXPECT_EQ(runHelper("slow-quit"), 0);
    EXPECT_TRUE(files(Telemetry::diagnosticsDirectory(dir), "").empty());
    EXPECT_EQ(events("app_quit").size(), 1u);
}

TEST_F(AppTelemetryCrashTest, FatalSignalLeavesMarkerAndDiagnostic) {
    EXPECT_EQ(runHelper("segv"), 128 + SIGSEGV);
    const json marker = only(dir, "run-");
    ASSERT_TRUE(marker.is_object());
    EXPECT_EQ(marker.at("exception"), "SIGSEGV: Segmentation fault at 0x8");
    const json payload = crashPayload();
    EXPECT_EQ(payload.at("name"), "SIGSEGV");
    EXPECT_NE(payload.at("callStack").dump().find("CrashHelper"), std::string::npos);

    EXPECT_EQ(runHelper("quit"), 0);
    const auto exits = events("unexpected_exit");
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0].at("props").at("exception"), "SIGSEGV: Segmentation fault at 0x8");
}

TEST_F(AppTelemetryCrashTest, AStackOverflowOnAnotherThreadIsStillReported) {
    EXPECT_EQ(runHelper("overflow"), 128 + SIGSEGV);
    const json payload = crashPayload();
    EXPECT_EQ(payload.at("name"), "SIGSEGV");
    EXPECT_NE(payload.at("callStack").dump().find("CrashHelper"), std::string::npos);
}

TEST_F(AppTelemetryCrashTest, WithoutHandlersACrashLeavesOnlyTheMarker) {
    EXPECT_EQ(runHelper("throw-without-handlers"), 128 + SIGABRT);
    const json marker = only(dir, "run-");
    ASSERT_TRUE(marker.is_object());
    EXPECT_EQ(marker.at("phase"), "recording");
    EXPECT_FALSE(marker.contains("exception"));
    EXPECT_TRUE(files(Telemetry::diagnosticsDirectory(dir), "").empty());
}

TEST(HangWatchdog, ReportsAStallWhenItEndsAndOneStillGoingAtStop) {
    std::mutex mutex;
    std::vector<std::pair<double, bool>> reports;
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
    {
        std::lock_guard lock(mutex);
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_GE(reports[0].first, 0.4);
        EXPECT_TRUE(reports[0].second);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    watchdog.stop();
    std::lock_guard lock(mutex);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_GE(reports[1].first, 0.3);
    EXPECT_FALSE(reports[1].second);
}

TEST(AppTelemetry, SystemReportsBecomeDiagnosticsAndBadOnesAreSkipped) {
    const auto dir = fs::temp_directory_path() / ("brindlow-apptelemetry-" + randomUUID());
    auto offline = [](auto&&...) { throw std::runtime_error("offline"); };
    auto telemetry = Telemetry::make(dir, AppInfo{}, Telemetry::Sender{offline, offline});
    AppTelemetry app(telemetry, std::make_shared<RunMarker>(dir, "1"));
    app.receive({"{\"hangDiagnostics\":[]}", "{not json", "[1,2]"});
    telemetry->flushAndWait(10);
    EXPECT_EQ(telemetry->pendingDiagnostics().size(), 2u);
    fs::remove_all(dir);
}

TEST(AppTelemetry, DefaultDirectoryFollowsXDGDataHome) {
    setenv("XDG_DATA_HOME", "/data/alice", 1);
    EXPECT_EQ(AppTelemetry::defaultDirectory(), fs::path("/data/alice/BrindlowRecorder/telemetry"));
    setenv("XDG_DATA_HOME", "relative", 1);  // not absolute: ignored, as the XDG rules say
    setenv("HOME", "/home/alice", 1);
    EXPECT_EQ(AppTelemetry::defaultDirectory(), fs::path("/home/alice/.local/share/BrindlowRecorder/telemetry"));
    unsetenv("XDG_DATA_HOME");
}

}  // namespace
}  // namespace brindlow
