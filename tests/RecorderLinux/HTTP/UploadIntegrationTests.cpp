// Range uploads and registration notices against brindlow-devserver over loopback.

#include <gtest/gtest.h>

#include <thread>

#include "FFmpeg/FFmpegSegmentEncoder.h"
#include "RangeUploader.h"
#include "RecordingRegistration.h"
#include "Support/DevServerProcess.h"
#include "Support/SyntheticMedia.h"

namespace brindlow {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

// A real fragmented MP4 stream: ten seconds of 320x240 at 30 fps.
const std::vector<StreamSegment>& encodedStream() {
    static const std::vector<StreamSegment> segments = [] {
        std::vector<StreamSegment> out;
        FFmpegSegmentEncoder::Options options;
        options.logEncoderChoice = false;
        SegmentWriter writer({320, 240, 30, 2'000'000}, AudioSettings{}, [&](StreamSegment s) { out.push_back(std::move(s)); },
                             FFmpegSegmentEncoder::factory(options));
        int64_t audio = 0;
        for (int i = 0; i < 300; ++i) {
            while (!writer.isReadyForVideo()) std::this_thread::sleep_for(1ms);
            writer.appendVideo(testing::videoSample(testing::movingPicture(320, 240, i), MediaTime(i, 30), 30));
            for (; audio * 30 < (i + 1) * 48'000; audio += 480)
                writer.appendAudio(testing::sineSample(audio, 480, MediaTime(audio, 48'000)));
        }
        writer.finish();
        return out;
    }();
    return segments;
}

class UploadIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override { spool = server.dataDir() / "spool"; }

    // Uploads the stream as a take does; returns the ranges reported, in order.
    std::vector<int64_t> upload(const std::string& aid, RangeUploader::Limits limits) {
        BrindlowAPI api = server.api("alice");
        auto registration = RecordingRegistration::make(aid, api, 0.2);
        registration->start({{StreamKey::screen, "video/mp4", 320, 240}}, "de");
        std::mutex mutex;
        std::vector<int64_t> reported;
        auto uploader = RangeUploader::make(aid, StreamKey::screen, api, std::make_shared<HTTPObjectPutter>(server.transport()),
                                            spool, limits, [&](int64_t n, double t0, double t1) {
                                                {
                                                    std::lock_guard lock(mutex);
                                                    reported.push_back(n);
                                                }
                                                registration->sendRange(StreamKey::screen, n, t0, t1);
                                            });
        for (const auto& s : encodedStream()) uploader->append(s);
        uploader->finish();
        registration->sendRangesFinal(StreamKey::screen);
        registration->sendIndex(StreamKey::screen, *uploader->fragmentIndex());
        registration->close(CloseStatus::saved, std::nullopt);
        EXPECT_FALSE(std::filesystem::exists(spool / aid / "screen"));
        return reported;
    }

    testing::DevServerProcess server;
    std::filesystem::path spool;
};

RangeUploader::Limits smallRanges() {
    RangeUploader::Limits limits;
    limits.minRangeBytes = 20'000;
    limits.minRangeSeconds = 1.5;
    limits.retryBaseSeconds = 0.01;
    limits.signBatch = 3;  // several signing rounds in one short take
    return limits;
}

TEST_F(UploadIntegrationTest, StreamArrivesWholeAndChecksOut) {
    const auto reported = upload("whole", smallRanges());
    const json rec = server.state("whole").at("recordings").at(0);
    EXPECT_TRUE(rec["check"]["ok"].get<bool>()) << rec["check"].dump();
    const int64_t ranges = rec["check"]["streams"][0]["ranges"];
    EXPECT_GE(ranges, 3);
    ASSERT_EQ(int64_t(reported.size()), ranges);
    for (int64_t i = 0; i < ranges; ++i) EXPECT_EQ(reported[size_t(i)], i);
    // Registration first, range notices in order, the close last.
    std::vector<std::string> kinds;
    std::vector<int64_t> notified;
    for (const auto& n : rec["notices"]) {
        if (n["kind"] == "heartbeat") continue;
        kinds.push_back(n["kind"]);
        if (n["kind"] == "range") notified.push_back(n["body"]["n"]);
    }
    EXPECT_EQ(kinds.front(), "register");
    EXPECT_EQ(kinds.back(), "close");
    EXPECT_EQ(notified, reported);
}

TEST_F(UploadIntegrationTest, FailingStoreAndSigningStillDeliverEverythingOnce) {
    server.setFault({{"route", "put"}, {"status", 500}, {"rate", 0.3}});
    server.setFault({{"route", "sign"}, {"status", 503}, {"times", 2}});
    const auto reported = upload("flaky", smallRanges());
    const json rec = server.state("flaky").at("recordings").at(0);
    EXPECT_TRUE(rec["check"]["ok"].get<bool>()) << rec["check"].dump();
    for (const auto& object : rec["objects"]) EXPECT_EQ(object["puts"], 1) << object.dump();
    std::vector<int64_t> expected(reported.size());
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = int64_t(i);
    EXPECT_EQ(reported, expected);
}

TEST_F(UploadIntegrationTest, RegistrationHeartbeatsThenClosesAndSurvivesADeadBackend) {
    BrindlowAPI api = server.api("alice");
    auto registration = RecordingRegistration::make("beats", api, 0.1);
    registration->start({{StreamKey::screen, "video/mp4", 2, 2}}, std::nullopt);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    auto heartbeats = [&] {
        const json state = server.state("beats");  // held: the loop walks into it
        int n = 0;
        if (state["recordings"].empty()) return n;  // not registered yet
        for (const auto& notice : state["recordings"][0]["notices"]) n += notice["kind"] == "heartbeat";
        return n;
    };
    while (heartbeats() < 1 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
    EXPECT_GE(heartbeats(), 1);
    registration->close(CloseStatus::discarded, std::nullopt);
    const int atClose = heartbeats();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(heartbeats(), atClose);
    EXPECT_EQ(server.state("beats").at("recordings").at(0).at("notices").back()["kind"], "close");

    // With the backend gone, close still returns once its request has failed.
    auto orphan = RecordingRegistration::make("orphan", api, 30);
    orphan->start({{StreamKey::screen, "video/mp4", 2, 2}}, std::nullopt);
    server.stop();
    orphan->sendRange(StreamKey::screen, 0, 0, 1);
    const auto t0 = std::chrono::steady_clock::now();
    orphan->close(CloseStatus::discarded, std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
}

}  // namespace
}  // namespace brindlow
