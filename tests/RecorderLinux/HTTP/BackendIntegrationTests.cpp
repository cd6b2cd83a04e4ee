// The recorder's backend client against brindlow-devserver over loopback.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>

#include "BrindlowAPI.h"
#include "RecorderError.h"
#include "Support/Concurrency.h"
#include "Support/DevServerProcess.h"
#include "Support/URL.h"

namespace brindlow {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

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

TEST_F(BackendIntegrationTest, RecordingNoticesArriveInOrder) {
    registerTake("take1");
    api.heartbeat("take1");
    api.notifyRange("take1", StreamKey::screen, 0, 0, 16);
    api.notifyRangesFinal("take1", StreamKey::screen);
    api.sendIndex("take1", StreamKey::screen, FragmentIndex{10, 90000, {{10, 5, 0}}, 15});
    api.close("take1", CloseStatus::discarded, std::nullopt);
    const auto rec = server.state("take1").at("recordings").at(0);
    std::vector<std::string> kinds;
    for (const auto& n : rec["notices"]) kinds.push_back(n["kind"]);
    EXPECT_EQ(kinds, (std::vector<std::string>{"register", "heartbeat", "range", "final", "index", "close"}));
    EXPECT_EQ(rec["registration"]["languageCode"], "de");
    EXPECT_EQ(rec["status"], "discarded");
}

TEST_F(BackendIntegrationTest, UserDocumentAndTeamFolders) {
    EXPECT_EQ(api.fetchUser("alice"), (RecorderUser{"alice", "t1", std::nullopt, "de"}));
    const RecorderUser bob = server.api("bob").fetchUser("bob");
    EXPECT_EQ(bob.teamRoot, "acme");
    EXPECT_EQ(bob.languageCode, std::nullopt);
    // Another user's document is refused; an unknown one is not found.
    try {
        api.fetchUser("bob");
        FAIL();
    } catch (const HTTPError& e) {
        EXPECT_EQ(e.status(), 403);
    }
    registerTake("take2");
    const std::string folder = api.createFolder(api.fetchUser("alice"), "take2");
    EXPECT_FALSE(folder.empty());
    EXPECT_THROW(api.createFolder(bob, "take2"), HTTPError);  // not alice's team
    api.registerAsset("take2", folder, "de", 12.5);
    const auto state = server.state("take2");
    EXPECT_EQ(state.at("recordings").at(0)["asset"]["durationSeconds"], 12.5);
    EXPECT_EQ(state["folders"][0]["teamPath"], "teams/t1");
}

TEST_F(BackendIntegrationTest, NotFoundCarriesTheServersText) {
    try {
        api.heartbeat("never-registered");
        FAIL();
    } catch (const HTTPError& e) {
        EXPECT_EQ(e.status(), 404);
        EXPECT_EQ(e.body(), "no recording never-registered");
    }
}

TEST_F(BackendIntegrationTest, ReportsAreStored) {
    const AppInfo app = AppInfo::current("dev", nlohmann::json::object());
    api.sendEvents(app, {TelemetryRecord::make(TelemetryEvent::appLaunched, iso8601Now(), std::nullopt,
                                               {{"previousExit", "clean"}})});
    api.sendDiagnostic(app, {DiagnosticKind::exception, iso8601Now(), JSONValue::Object{{"name", "E"}}});
    const auto state = server.state();
    EXPECT_EQ(state["events"][0]["event"]["props"]["previousExit"], "clean");
    EXPECT_EQ(state["diagnostics"][0]["payload"]["name"], "E");
}

TEST_F(BackendIntegrationTest, TimeOutAbortsTheRequest) {
    registerTake("slow");
    server.setFault({{"route", "heartbeat"}, {"delayMs", 3000}});
    HTTPRequest request;
    request.method = "POST";
    request.url = server.base("monolith") + "/recordings/slow/heartbeat";
    request.body = "{}";
    request.timeoutSeconds = 0.3;
    const auto t0 = Clock::now();
    EXPECT_THROW(server.transport()->perform(request), TransportError);
    EXPECT_LT(Clock::now() - t0, 2500ms);
}

TEST_F(BackendIntegrationTest, CancellationAbortsARequestInFlight) {
    registerTake("cancel");
    server.setFault({{"route", "heartbeat"}, {"delayMs", 5000}});
    std::stop_source stop;
    auto result = std::async(std::launch::async, [&] {
        try {
            api.heartbeat("cancel", stop.get_token());
            return std::string("finished");
        } catch (const CancellationError&) {
            return std::string("cancelled");
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
    });
    std::this_thread::sleep_for(200ms);  // let the request get under way
    const auto t0 = Clock::now();
    stop.request_stop();
    ASSERT_EQ(result.wait_for(4s), std::future_status::ready);
    EXPECT_EQ(result.get(), "cancelled");
    EXPECT_LT(Clock::now() - t0, 2s);
}

TEST_F(BackendIntegrationTest, DroppedConnectionIsATransportError) {
    registerTake("drop");
    server.setFault({{"route", "heartbeat"}, {"drop", true}, {"times", 1}});
    EXPECT_THROW(api.heartbeat("drop"), TransportError);
    EXPECT_NO_THROW(api.heartbeat("drop"));  // the fault was used up
}

TEST_F(BackendIntegrationTest, FileBodiesStreamToSignedURLs) {
    registerTake("put");
    const auto batch = api.signRangeURLs("put", StreamKey::screen, 0, 2);
    ASSERT_EQ(batch.urls.size(), 2u);
    const auto file = server.dataDir() / "upload.bin";
    {
        std::ofstream out(file, std::ios::binary);
        for (int i = 0; i < 3'000'000; ++i) out.put(char(i * 7));
    }
    HTTPRequest put;
    put.method = "PUT";
    put.url = batch.urls[1];
    put.bodyFile = file;
    put.headers = {{"Content-Type", "video/mp4"}};
    EXPECT_EQ(server.transport()->perform(put).status, 200);
    const auto stored = server.dataDir() / "objects" / "put" / "screen" / "1.mp4";
    EXPECT_EQ(std::filesystem::file_size(stored), 3'000'000u);
    // A tampered signature is refused.
    put.url = batch.urls[0];
    put.url.back() = put.url.back() == '0' ? '1' : '0';
    EXPECT_EQ(server.transport()->perform(put).status, 403);
}

// The time-out bounds waiting, not the transfer: an upload on a slow uplink that keeps
// moving finishes however long it takes; one that stops moving fails after the time-out.
TEST_F(BackendIntegrationTest, PutTimeOutCountsOnlyTimeWithoutProgress) {
    registerTake("slow-put");
    const auto urls = api.signRangeURLs("slow-put", StreamKey::screen, 0, 2).urls;
    const auto file = bodyFile(3'000'000);
    constexpr double timeout = 1;
    struct Case {
        const char* name;
        nlohmann::json fault;
        bool succeeds;
    } cases[] = {
        // The answer a byte every 80 ms: seconds in all, never a second without a byte.
        {"trickle", {{"route", "put"}, {"trickleMs", 80}, {"times", 1}}, true},
        {"stall", {{"route", "put"}, {"delayMs", 6000}, {"times", 1}}, false},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        server.setFault(c.fault);
        const auto t0 = Clock::now();
        std::optional<int> status;
        std::string error;
        try {
            status = server.transport()->perform(put(urls[i], file, timeout)).status;
        } catch (const TransportError& e) {
            error = e.what();
        }
        const auto elapsed = Clock::now() - t0;
        if (c.succeeds) {
            EXPECT_EQ(status, 200) << c.name << ": " << error;
            EXPECT_GT(elapsed, 1500ms) << c.name << ": faster than the time-out proves nothing";
        } else {
            EXPECT_EQ(status, std::nullopt) << c.name;
            EXPECT_NE(error.find("timed out"), std::string::npos) << c.name << ": " << error;
            EXPECT_LT(elapsed, 4s) << c.name;
        }
    }
    EXPECT_EQ(std::filesystem::file_size(server.dataDir() / "objects" / "slow-put" / "screen" / "0.mp4"), 3'000'000u);
}

// A temporary redirect is followed with the same method and the whole body again.
TEST_F(BackendIntegrationTest, TemporaryRedirectsAreFollowed) {
    registerTake("moved");
    server.setFault({{"route", "heartbeat"}, {"status", 307}, {"times", 1},
                     {"location", appendingPath(server.environment().monolithAPI, "recordings/moved/heartbeat")}});
    EXPECT_NO_THROW(api.heartbeat("moved"));
    const auto state = server.state("moved");  // held: the loop walks into it
    int heartbeats = 0;
    for (const auto& notice : state["recordings"][0]["notices"]) heartbeats += notice["kind"] == "heartbeat";
    EXPECT_EQ(heartbeats, 1);

    const auto url = api.signRangeURLs("moved", StreamKey::screen, 0, 1).urls.at(0);
    server.setFault({{"route", "put"}, {"status", 307}, {"times", 1}, {"location", url}});
    EXPECT_EQ(server.transport()->perform(put(url, bodyFile(3'000'000))).status, 200);
    EXPECT_EQ(std::filesystem::file_size(server.dataDir() / "objects" / "moved" / "screen" / "0.mp4"), 3'000'000u);
}

TEST_F(BackendIntegrationTest, TransportErrorsNameTheURLWithoutItsQuery) {
    registerTake("secret");
    const auto url = api.signRangeURLs("secret", StreamKey::screen, 0, 1).urls.at(0);
    ASSERT_NE(url.find("sig="), std::string::npos);
    server.setFault({{"route", "put"}, {"drop", true}});
    try {
        server.transport()->perform(put(url, bodyFile(1000)));
        FAIL() << "a dropped connection succeeded";
    } catch (const TransportError& e) {
        const std::string text = e.what();
        EXPECT_NE(text.find(url.substr(0, url.find('?'))), std::string::npos) << text;
        EXPECT_EQ(text.find('?'), std::string::npos) << text;
    }
    EXPECT_EQ(withoutQuery("http://h/p?sig=1#f"), "http://h/p");
    EXPECT_EQ(withoutQuery("http://h/p#f?x"), "http://h/p");
}

// A body whose length cannot be known (a pipe) is refused before anything is sent,
// rather than sent as a chunked upload of unknown length.
TEST_F(BackendIntegrationTest, BodyFileOfUnknownLengthIsRefused) {
    registerTake("pipe");
    const auto url = api.signRangeURLs("pipe", StreamKey::screen, 0, 1).urls.at(0);
    const auto fifo = server.dataDir() / "body.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);  // keeps the reader from blocking in open
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, "abc", 3), 3);
    auto outcome = std::async(std::launch::async, [&] {
        try {
            return "status " + std::to_string(server.transport()->perform(put(url, fifo, 2)).status);
        } catch (const TransportError& e) {
            return std::string(e.what());
        }
    });
    // Bounded: a transport that reads the pipe waits for its end, which closing gives.
    const bool answeredAtOnce = outcome.wait_for(5s) == std::future_status::ready;
    ::close(writer);
    const std::string text = outcome.get();
    EXPECT_TRUE(answeredAtOnce);
    EXPECT_EQ(text.rfind("cannot read " + fifo.string(), 0), 0u) << text;
}

}  // namespace
}  // namespace brindlow
