// Telemetry sending through the backend API to the devserver over loopback.

#include <gtest/gtest.h>

#include "Support/DevServerProcess.h"
#include "Support/Text.h"
#include "Telemetry.h"

namespace brindlow {
namespace {

namespace fs = std::filesystem;

class TelemetryIntegration : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(dir); }
    std::shared_ptr<Telemetry> make() {
        return Telemetry::make(dir, AppInfo{"1.0", "77", "Debian 12", "dev", "x86_64"},
                               Telemetry::Sender::api(std::make_shared<BrindlowAPI>(server.api())));
    }
    testing::DevServerProcess server;
    fs::path dir = fs::temp_directory_path() / ("brindlow-telemetry-" + randomUUID());
};

TEST_F(TelemetryIntegration, BatchesAndDiagnosticsArrive) {
    auto telemetry = make();
    for (int i = 0; i < 60; ++i)
        telemetry->record(TelemetryEvent::takeStarted, "a" + std::to_string(i), {{"fps", 30}, {"screen", true}});
    telemetry->addDiagnostic(DiagnosticKind::metricKit, JSONValue(JSONValue::Object{{"type", "hang"}}));
    telemetry->flushAndWait(10);
    EXPECT_TRUE(telemetry->queued().empty());
    EXPECT_TRUE(telemetry->pendingDiagnostics().empty());
    const auto state = server.state();
    const auto& events = state.at("events");
    ASSERT_EQ(events.size(), 60u);
    EXPECT_EQ(events.at(0).at("event").at("aid"), "a0");
    EXPECT_EQ(events.at(59).at("event").at("aid"), "a59");
    EXPECT_EQ(events.at(0).at("event").at("props").at("fps"), 30);
    EXPECT_EQ(events.at(0).at("app").at("build"), "77");
    ASSERT_EQ(state.at("diagnostics").size(), 1u);
    EXPECT_EQ(state.at("diagnostics").at(0).at("payload").at("type"), "hang");
}

TEST_F(TelemetryIntegration, FlushAndWaitGivesUpAfterItsTimeout) {
    auto telemetry = make();
    server.setFault({{"route", "events"}, {"delayMs", 8000}});
    const auto started = std::chrono::steady_clock::now();
    telemetry->record(TelemetryEvent::appQuit, std::nullopt);
    telemetry->flushAndWait(2);
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_GE(waited, 1.9);
    EXPECT_LT(waited, 4.0);
    // The backend going away ends the flush; the record stays for the next run.
    server.stop();
    EXPECT_TRUE(telemetry->flush()->wait(30));
    EXPECT_EQ(telemetry->queued().size(), 1u);
}

}  // namespace
}  // namespace brindlow
