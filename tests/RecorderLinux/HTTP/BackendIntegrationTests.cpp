// The recorder's backend client, registration and telemetry against brindlow-devserver
// over loopback.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>

#include "BrindlowAPI.h"
#include "RecorderError.h"
#include "RecordingRegistration.h"
#include "Support/Concurrency.h"
#include "Support/DevServerProcess.h"
#include "Support/ExpectError.h"
#include "Telemetry.h"

namespace brindlow {
namespace {

using namespace std::chrono_literals;
using testing::errorFrom;

class BackendIntegrationTest : public ::testing::Test {
protected:
    testing::DevServerProcess server;
    BrindlowAPI api = server.api("alice");

    void registerTake(const std::string& aid) {
        api.registerRecording(aid, {{StreamKey::screen, "video/mp4", 320, 240}}, "de");
    }

    std::filesystem::path bodyFile(int bytes) {
        const auto file = server.dataDir() / ("body-" + std::to_string(bytes) + ".bin");
        std::ofstream out(file, std::ios::binary);
        for (int i = 0; i < bytes; ++i) out.put(char(i * 7));
        return file;
    }
    std::shared_ptr<Telemetry> telemetry() const {
        return Telemetry::make(server.dataDir() / "telemetry", AppInfo{"1.0", "77", "Debian 12", "dev", "x86_64"},
                               Telemetry::Sender::api(std::make_shared<BrindlowAPI>(api)));
    }
    uintmax_t storedSize(const std::string& aid, const char* object) const {
        return std::filesystem::file_size(server.dataDir() / "objects" / aid / "screen" / object);
    }

    HTTPRequest put(const std::string& url, const std::filesystem::path& file, double timeoutSeconds = 10) {
        HTTPRequest request;
        request.method = "PUT";
        request.url = url;
        request.bodyFile = file;
        request.headers = {{"Content-Type", "video/mp4"}};
        request.timeoutSeconds = timeoutSeconds;
        return request;
    }
};

TEST_F(BackendIntegrationTest, UserDocumentsTeamFoldersAndTheServersRefusals) {
    EXPECT_EQ(api.fetchUser("alice"), (RecorderUser{"alice", "t1", std::nullopt, "de"}));
    const RecorderUser bob = server.api("bob").fetchUser("bob");
    // Another user's document is refused; an unknown take is not found, in the server's words.
    EXPECT_EQ(errorFrom<HTTPError>([&] { api.fetchUser("bob"); }).value_or(HTTPError(0, "")).status(), 403);
    EXPECT_EQ(errorFrom<HTTPError>([&] { api.heartbeat("never-registered"); }),
              HTTPError(404, "no recording never-registered"));

    registerTake("take2");
    api.createFolder(api.fetchUser("alice"), "take2");
    EXPECT_THROW(api.createFolder(bob, "take2"), HTTPError);  // not alice's team
    EXPECT_EQ(server.state("take2")["folders"][0]["teamPath"], "teams/t1");
}

// A caller that stops waiting ends the request under way. The time-out bounds waiting,
// not the transfer: an upload on a slow uplink that keeps moving finishes however long it
// takes; one that stops moving fails after the time-out.
TEST_F(BackendIntegrationTest, RequestsEndWhenTheCallerStopsWaitingOrTheyStopMoving) {
    registerTake("slow-put");
    server.setFault({{"route", "heartbeat"}, {"delayMs", 5000}});
    std::stop_source stop;
    auto cancelled = std::async(std::launch::async, [&] {
        return errorFrom<CancellationError>([&] { api.heartbeat("slow-put", stop.get_token()); }).has_value();
    });
    std::this_thread::sleep_for(200ms);  // let the request get under way
    stop.request_stop();
    ASSERT_EQ(cancelled.wait_for(4s), std::future_status::ready);
    EXPECT_TRUE(cancelled.get());

    const auto urls = api.signRangeURLs("slow-put", StreamKey::screen, 0, 2).urls;
    const auto file = bodyFile(3'000'000);
    // The answer a byte every 80 ms: seconds in all, never a second without a byte.
    server.setFault({{"route", "put"}, {"trickleMs", 80}, {"times", 1}});
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(server.transport()->perform(put(urls[0], file, 1)).status, 200);
    EXPECT_GT(std::chrono::steady_clock::now() - t0, 1500ms) << "faster than the time-out proves nothing";
    EXPECT_EQ(storedSize("slow-put", "0.mp4"), 3'000'000u);

    server.setFault({{"route", "put"}, {"delayMs", 6000}, {"times", 1}});
    const auto stalled = errorFrom<TransportError>([&] { server.transport()->perform(put(urls[1], file, 1)); });
    EXPECT_NE(std::string(stalled ? stalled->what() : "").find("timed out"), std::string::npos);
}

// A temporary redirect is followed with the same method and the whole body again. A
// dropped connection is a transport error, which names the URL without its query (where
// the signature is).
TEST_F(BackendIntegrationTest, RedirectsAreFollowedAndDroppedConnectionsNameTheURLWithoutItsQuery) {
    registerTake("moved");
    const auto urls = api.signRangeURLs("moved", StreamKey::screen, 0, 2).urls;
    server.setFault({{"route", "put"}, {"status", 307}, {"times", 1}, {"location", urls[0]}});
    EXPECT_EQ(server.transport()->perform(put(urls[0], bodyFile(3'000'000))).status, 200);
    EXPECT_EQ(storedSize("moved", "0.mp4"), 3'000'000u);
    ASSERT_NE(urls[1].find("sig="), std::string::npos);
    server.setFault({{"route", "put"}, {"drop", true}});
    const auto error = errorFrom<TransportError>([&] { server.transport()->perform(put(urls[1], bodyFile(1000))); });
    const std::string text = error ? error->what() : "";
    EXPECT_NE(text.find(urls[1].substr(0, urls[1].find('?'))), std::string::npos) << text;
    EXPECT_EQ(text.find('?'), std::string::npos) << text;
}

// Batches and diagnostics arrive, and quitting waits for a slow backend's answer up to
// the time-out and no longer. The backend going away ends a flush, keeping what was not
// sent for the next run, and lets a take's registration close.
TEST_F(BackendIntegrationTest, TelemetryArrivesWaitsUpToItsTimeOutAndNothingWaitsForADeadBackend) {
    auto reports = telemetry();
    for (int i = 0; i < 60; ++i)
        reports->record(TelemetryEvent::takeStarted, "a" + std::to_string(i), {{"fps", 30}, {"screen", true}});
    reports->addDiagnostic(DiagnosticKind::metricKit, JSONValue(JSONValue::Object{{"type", "hang"}}));
    server.setFault({{"route", "events"}, {"delayMs", 500}, {"times", 1}});
    reports->flushAndWait(5);
    EXPECT_TRUE(reports->queued().empty()) << "an answer within the time-out was not waited for";
    EXPECT_TRUE(reports->pendingDiagnostics().empty());
    const auto state = server.state();
    const auto& events = state.at("events");
    ASSERT_EQ(events.size(), 60u);
    EXPECT_EQ(events.at(0).at("event").at("aid"), "a0");
    ASSERT_EQ(state.at("diagnostics").size(), 1u);
    EXPECT_EQ(state.at("diagnostics").at(0).at("payload").at("type"), "hang");

    server.setFault({{"route", "events"}, {"delayMs", 8000}});
    reports->record(TelemetryEvent::appQuit, std::nullopt);
    reports->flushAndWait(2);
    EXPECT_EQ(reports->queued().size(), 1u) << "the flush outlasted its time-out";

    auto orphan = RecordingRegistration::make("orphan", api, 30);
    orphan->start({{StreamKey::screen, "video/mp4", 2, 2}}, std::nullopt);
    server.stop();
    EXPECT_TRUE(reports->flush()->wait(30));
    EXPECT_EQ(reports->queued().size(), 1u);
    orphan->sendRange(StreamKey::screen, 0, 0, 1);
    auto closed = std::async(std::launch::async, [&] { orphan->close(CloseStatus::discarded, std::nullopt); });
    EXPECT_EQ(closed.wait_for(10s), std::future_status::ready) << "close waits for a backend that is gone";
}

}  // namespace
}  // namespace brindlow
